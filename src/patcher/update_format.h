// The update as the vendor's builder writes it and the patcher reads it: the names of what an
// update folder holds, and the keys of its description ("UpdateInfo.plist").
#pragma once

#include <string_view>

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

}  // namespace ostrel
