// The update as the vendor's builder writes it and the patcher reads it: the names of what an
// update folder holds, and the keys of its description ("UpdateInfo.plist").
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "common/paths.h"

namespace ostrel {

// The bundle every update ships and is prepared against, beside its description.
inline constexpr const char* kDefaultBundleName = "Solvane.app";
inline constexpr const char* kDescriptionName = "UpdateInfo.plist";
// Where the default bundle is installed; the description's folders name places below it.
inline constexpr std::string_view kDefaultApplicationPath = "/Applications/Solvane.app";

// The description's keys: the installed application's name, its two lists, and each entry's.
inline constexpr const char* kApplicationNameKey = "InstalledApplicationName";
inline constexpr const char* kDeletionsKey = "toBeDeleted";
inline constexpr const char* kCopiesKey = "toBeCopied";
inline constexpr const char* kFileNameKey = "ActualFileName";
inline constexpr const char* kFolderKey = "filePath";
inline constexpr const char* kSourceKey = "unzippedFilePath";

// A delta update ships a patch instead of a changed file: at the file's path inside this folder of
// the update folder ("Patches/Contents/Resources/x"), made from the file the old version holds at
// the same place. The manifest lists the file as any other, with the file it is made from ("Base")
// and the patch ("Patch"), each by size and SHA-256.
inline constexpr const char* kPatchesFolderName = "Patches";
inline constexpr const char* kBaseKey = "Base";
inline constexpr const char* kPatchKey = "Patch";

// A file as the update manifest lists it: its size and its SHA-256 in lower-case hex.
struct FileIdentity {
    std::uint64_t size = 0;
    std::string sha256;
};

// A file of the bundle that a delta update makes from the installed one.
struct PatchedFile {
    std::string path;  // relative to the bundle
    FileIdentity base;
    FileIdentity patch;
    FileIdentity result;
    std::int64_t mode = 0;  // the result's permission bits
};

// The patch of the bundle's `relative` file in the update folder `updateFolder`.
std::string patchOf(const std::string& updateFolder, const std::string& relative);

// One item of a bundle, by its path relative to the bundle ("Contents/Info.plist").
enum class ItemKind { File, Folder, Link, Other };
struct BundleItem {
    ItemKind kind = ItemKind::Other;
    std::int64_t mode = 0;  // permission bits
    std::int64_t size = 0;  // files only
    std::string target;     // links only
    std::string sha256;     // files only, where a manifest records it
};
using BundleListing = std::map<std::string, BundleItem, corvant::WalkOrder>;

// The kind as a manifest names it: "file", "folder", "link" or "special file".
const char* kindName(ItemKind kind);

// Whether a bundle that is not there holds nothing (an update that ships no bundle) or cannot be
// read (a bundle an update is made from).
enum class AbsentBundle { HoldsNothing, CannotBeRead };

// Every item below `root` by its relative path into `listing`, links not followed; false after
// setting `error` to one line when an item cannot be read.
bool walkBundle(const std::string& root, BundleListing& listing, std::string& error,
                AbsentBundle absent);

}  // namespace ostrel
