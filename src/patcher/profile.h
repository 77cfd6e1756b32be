// The user's directory files: put back from the profile backup after a failed run, copied into the
// installed application after a successful one.
#pragma once

#include <string>

#include "common/log_file.h"
#include "patcher/places.h"

namespace ostrel {

// True when the profile backup folder lists more than three entries (hidden ones included).
bool isProfileBackUpFolderPresent(const Places& places);

// Replaces the user's directory files by the profile backup's, hidden ones included. True when
// every entry of the backup is back in place.
bool restoreProfileFiles(const Places& places, corvant::LogFile& log);

void removeProfileBackUpFolder(const Places& places, corvant::LogFile& log);

// True when the user's directory folder holds at least one entry.
bool hasDirectoryFiles(const Places& places);

// Replaces the contents of `destination` by those of `source`, hidden entries included. Both come
// unescaped.
void copyBackLatestDirectoryFilesToApplication(const std::string& source,
                                               const std::string& destination,
                                               corvant::LogFile& log);

}  // namespace ostrel
