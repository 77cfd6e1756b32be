// The status file that tells the client how the run went, and the clean-up commands at its end.
#pragma once

#include <string>

#include "common/log_file.h"
#include "patcher/places.h"

namespace ostrel {

// Replaces the status file with one holding only "PatcherStatus". The folder that holds it is not
// created. True when the file was written.
bool updateSoftwarePatcherStatus(const Places& places, bool status, corvant::LogFile& log);

// Each runs a complete command after logging it and returns its exit status.
int removeDownloadedBinaries(const std::string& command, corvant::LogFile& log);
int launchApplication(const std::string& command, corvant::LogFile& log);

// Removes the folder that holds the patcher; the path comes shell-escaped.
void removeSoftwarePatcher(const std::string& escapedFolderPath, corvant::LogFile& log);

}  // namespace ostrel
