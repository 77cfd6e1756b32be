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

// Renames `folder` to `folder`.1 and logs it. Only one folder is ever kept aside: when that name is
// taken, nothing is moved. The new path, or none when the folder stays where it is.
std::optional<std::string> moveAside(const std::string& folder, corvant::LogFile& log);

// What the deletions and copies could change in the installed bundle: the first item (the bundle,
// then what it holds, links left out) that this user cannot write, and whether any item can be
// written at all. Where none can, a failing pass has changed nothing that a roll back could undo.
struct BundleWritability {
    std::optional<std::string> firstUnwritable;
    bool anyWritable = false;
};
BundleWritability checkWritability(const std::string& bundle);

// While the deletion and copy passes change the installed application, a marker file names it:
// the backup is complete by then, and a run that finds the marker knows that an earlier run was
// stopped halfway and that the backup is the last whole copy of the application.
bool markInstallationInChange(const Places& places, const std::string& installedApplicationName);
// Removes the marker, whichever of its two states it is in.
void clearInstallationInChange(const Places& places);
// The name of the application that an interrupted run left half changed, if any.
std::optional<std::string> interruptedInstallation(const Places& places);

// Once the passes have succeeded, the marker is replaced (in one step) by one that says the
// installed application is the new version and names what the success ending still has to
// remove. A run that finds it knows that an earlier run was stopped in that ending's clean-up.
struct InstalledUpdate {
    std::string applicationName;
    std::string updateFolder;   // absolute; empty when not known
    std::string patcherFolder;  // absolute; empty when not known
};
// The folders are recorded as absolute paths, since the next run may start in another folder.
bool markInstallationNew(const Places& places, const InstalledUpdate& update);
// What a run stopped after its passes succeeded recorded, if any.
std::optional<InstalledUpdate> stoppedSuccess(const Places& places);
// Whether `updateFolder`, as a run is given it, is the folder `update` was applied from.
bool wasAppliedFrom(const InstalledUpdate& update, const std::string& updateFolder);

}  // namespace ostrel
