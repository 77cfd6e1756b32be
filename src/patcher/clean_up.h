// The status file that tells the client how the run went, and the clean-up commands at its end.
#pragma once

#include <string>
#include <vector>

#include "common/command.h"
#include "common/log_file.h"
#include "patcher/places.h"

namespace ostrel {

// Replaces the status file with one holding only "PatcherStatus", and "DeltaBaseDiffers" (true)
// when `deltaBaseDiffers`. The folder that holds it is not created. True when the file was
// written.
bool updateSoftwarePatcherStatus(const Places& places, bool status, corvant::LogFile& log,
                                 bool deltaBaseDiffers = false);

// The commands of the clean-up: the update folder's removal, the relaunch, the patcher folder's
// removal.
corvant::Command deleteTmpFolderCommand(const std::string& updateContentPath);
corvant::Command launchCommand(const std::string& installedApplicationPath);
corvant::Command patcherFolderRemovalCommand(const std::string& patcherFolderPath);

// Each runs a complete command after logging it and returns its exit status.
int removeDownloadedBinaries(const corvant::Command& command, corvant::LogFile& log);
int launchApplication(const corvant::Command& command, corvant::LogFile& log);

// Where the "open" for application bundles may be installed along with the patcher: the folder the
// build installs it to, the one the Debian package puts it in, then "../kelvorn" beside the
// patcher's own folder, where an install under another prefix puts it.
std::vector<std::string> bundleOpenFolders();

// Puts the first of `folders` that holds an executable "open" at the front of PATH, so that the
// launch command starts the application bundle whatever PATH the caller gave. Without one, PATH
// stays as it is and the system's "open" serves.
void putBundleOpenFirstOnPath(const std::vector<std::string>& folders);

// Runs the removal of the folder that holds the patcher after logging it.
void removeSoftwarePatcher(const corvant::Command& command, corvant::LogFile& log);

}  // namespace ostrel
