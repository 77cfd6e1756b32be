// The user's directory files: put back from the profile backup after a failed run, copied into the
// installed application after a successful one.
#pragma once

#include <string>

#include "common/log_file.h"
#include "patcher/places.h"

namespace ostrel {

// True when the profile backup folder lists more than three entries (hidden ones included).
bool isProfileBackUpFolderPresent(const Places& places);

// Replaces the user's directory files by the profile backup's. True when the copy back worked.
bool restoreProfileFiles(const Places& places, corvant::LogFile& log);

void removeProfileBackUpFolder(const Places& places, corvant::LogFile& log);

// Replaces the contents of `escapedDestination` by those of `escapedSource`; both come
// shell-escaped.
void copyBackLatestDirectoryFilesToApplication(const std::string& escapedSource,
                                               const std::string& escapedDestination,
                                               corvant::LogFile& log);

}  // namespace ostrel
