// The user's directory files: put back from the profile backup after a failed run, copied into the
// installed application after a successful one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/command.h"
#include "common/log_file.h"
#include "patcher/places.h"

namespace ostrel {

// True when the profile backup folder lists more than three entries (hidden ones included).
bool isProfileBackUpFolderPresent(const Places& places);

// Replaces the user's directory files by the profile backup's, hidden ones included. True when
// every entry of the backup is back in place.
bool restoreProfileFiles(const Places& places, corvant::LogFile& log);

void removeProfileBackUpFolder(const Places& places, corvant::LogFile& log);

// The commands that copy the entries `names` of `source` into `destination`: the visible ones by
// one "cp -pHfR <source>/* <destination>/" (when there are any), the hidden ones, which "*" leaves
// out, by one command each.
std::vector<corvant::Command> entryCopyCommands(const std::string& source,
                                                const std::string& destination,
                                                const std::vector<std::string>& names);
// "rm -Rf <folder>/*", and the removal of the profile backup.
corvant::Command directoryEmptyingCommand(const std::string& folder);
corvant::Command profileBackupRemovalCommand(const Places& places);
// The names of a folder's entries, hidden ones included; none when it cannot be listed.
std::optional<std::vector<std::string>> directoryEntryNames(const std::string& folder);

// True when the user's directory folder holds at least one entry whose name does not begin with
// a dot: hidden files alone (".DS_Store") are no directory files to replace the application's.
bool hasDirectoryFiles(const Places& places);

// Replaces the contents of `destination` by those of `source`, hidden entries included. Both come
// unescaped.
void copyBackLatestDirectoryFilesToApplication(const std::string& source,
                                               const std::string& destination,
                                               corvant::LogFile& log);

}  // namespace ostrel
