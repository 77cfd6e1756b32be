// The copy of the installed application taken before the update, and the way back to it.
#pragma once

#include <optional>
#include <string>

#include "common/command.h"
#include "common/log_file.h"
#include "patcher/places.h"

namespace ostrel {

enum class BackupResult { Success, FolderCreationFailed, CopyFailed };

// Starts `softwareBackupPath` afresh (removing whatever a former run left there, or moving it aside
// when it cannot be removed) and copies the top-level entries of the installed bundle into it. The
// folder's parent must exist already.
BackupResult backUpSoftware(const std::string& installedApplicationPath,
                            const std::string& softwareBackupPath, corvant::LogFile& log);

// The copy of the bundle's entries into the backup.
corvant::Command backupCommand(const std::string& installedApplicationPath,
                               const std::string& softwareBackupPath);

// The roll back: the bundle emptied, then filled again from the backup.
struct RestoreCommands {
    corvant::Command emptying;
    corvant::Command copy;
};
RestoreCommands restoreCommands(const std::string& softwareBackupPath,
                                const std::string& installedApplicationPath);

// Empties the application bundle and fills it again from the backup. True when the copy back
// worked.
bool restoreApplication(const std::string& softwareBackupPath,
                        const std::string& installedApplicationPath, corvant::LogFile& log);

corvant::Command backupRemovalCommand(const std::string& softwareBackupPath);

// Removes the backup folder, read-only folders inside it included; the path comes unescaped and is
// escaped for the command.
void removeBackedUpData(const std::string& softwareBackupPath, corvant::LogFile& log);

// Renames `folder` to a free name beside it and logs it. The new path, or none when it could not be
// renamed.
std::optional<std::string> moveAside(const std::string& folder, corvant::LogFile& log);

// While the deletion and copy passes change the installed application, a marker file names it:
// the backup is complete by then, and a run that finds the marker knows that an earlier run was
// stopped halfway and that the backup is the last whole copy of the application.
bool markInstallationInChange(const Places& places, const std::string& installedApplicationName);
void clearInstallationInChange(const Places& places);
// The name of the application that an interrupted run left half changed, if any.
std::optional<std::string> interruptedInstallation(const Places& places);

}  // namespace ostrel
