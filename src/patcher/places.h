// The folders a patch run works in, handed in so that tests can point them at temporary folders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/paths.h"

namespace ostrel {

struct Places {
    // The home folder of the user the patcher runs as.
    std::string homeFolder;
    // The folder that holds the installed application bundle.
    std::string applicationsFolder = "/Applications";
};

// The maker's Application Support folder in the user's home: the backups, the status file and
// (one level down) the log and the user's directory files live below it.
std::string makerSupportFolder(const Places& places);
std::string softwareBackupPath(const Places& places);
std::string profileBackupPath(const Places& places);
std::string userDirectoryPath(const Places& places);
std::string patcherStatusFilePath(const Places& places);
// The marker that says the installed application is being changed (see backup.h).
std::string installationInChangePath(const Places& places);

// Free bytes for the user on the file system that holds `path`, or its nearest existing folder;
// none when no folder on the way can be looked at.
std::optional<std::uintmax_t> freeBytes(std::string path);

// The directory folder inside an installed application's common framework.
std::string applicationDirectoryPath(const std::string& installedApplicationPath);

// The path helpers the patcher's rules are written with (see common/paths.h).
using corvant::appendingPathComponent;
using corvant::deletingLastPathComponent;

// A path that begins with "-" would reach the commands as an option; made absolute, it is a path
// like any other. Every other path stays as it was given.
std::string withoutLeadingDash(const std::string& path);

}  // namespace ostrel
