// Removing an installed item whole before something takes its place: folders that "cp -p" copied
// read-only keep their items from "rm -Rf", and a mount inside an item keeps it from going at all.
#pragma once

#include <optional>
#include <string>

namespace ostrel {

// Makes `path`, when it is a folder, and every folder below it writable by their owner; links are
// not followed. Nothing else changes.
void makeFoldersWritable(const std::string& path);

// The first item at or below `path` (links not followed) that keeps this user from removing `path`
// whole once its folders have been made writable: a mount, or a folder with items in it that the
// user neither owns nor can write into. None when the whole of it can go.
std::optional<std::string> firstUnremovableItem(const std::string& path);

}  // namespace ostrel
