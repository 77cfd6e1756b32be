// The copy of the installed application taken before the update, and the way back to it.
#pragma once

#include <string>

#include "common/log_file.h"

namespace ostrel {

enum class BackupResult { Success, FolderCreationFailed, CopyFailed };

// Starts `softwareBackupPath` afresh (removing whatever a former run left there) and copies the
// top-level entries of the installed bundle into it. The folder's parent must exist already.
BackupResult backUpSoftware(const std::string& installedApplicationPath,
                            const std::string& softwareBackupPath, corvant::LogFile& log);

// Empties the application bundle and fills it again from the backup. Both paths come
// shell-escaped. True when the copy back worked.
bool restoreApplication(const std::string& escapedBackupPath,
                        const std::string& escapedApplicationPath, corvant::LogFile& log);

// Removes the backup folder; the path comes shell-escaped.
void removeBackedUpData(const std::string& escapedBackupPath, corvant::LogFile& log);

}  // namespace ostrel
