#include "patcher/endings.h"

#include "patcher/backup.h"
#include "patcher/clean_up.h"
#include "patcher/own_folder.h"
#include "patcher/profile.h"

namespace ostrel {

using corvant::Command;

namespace {

// Every way a run ends: the line that announces it, what is cleaned up and in which order, and the
// exit status. Each ending writes the status file exactly once; the two endings before the
// application's name is known do not launch it; only success removes the patcher's folder. A
// backup that failed halfway goes before the status file, which may need the room it took.
const std::vector<EndingPlan>& endingTable() {
    using enum CleanUp;
    static const std::vector<EndingPlan> table = {
        {Ending::NoArgument,
         2,
         "Parameters not passed during the launch of patcher, Update Content path should be "
         "passesd as a parameter to software patcher. Software patching failed",
         {StatusFalse, ProfileRestore},
         1},
        {Ending::NoDescription,
         1,
         "UpdateInfo.plist missing at path the above path, Hence Patching failed, Client will not "
         "launch since software pathcer does not know the application name",
         {RemoveUpdateFolder, ProfileRestore, StatusFalse},
         1},
        // The update does not match its manifest or signature; the line that says why announces
        // it. Nothing has changed yet, so it ends as a backup that could not begin.
        {Ending::Refused, 1, nullptr, {RemoveUpdateFolder, StatusFalse, ProfileRestore, Launch}, 1},
        {Ending::BackupFolder,
         1,
         "Software backup folder creation Failed, Hence Patching failed",
         {RemoveUpdateFolder, StatusFalse, ProfileRestore, Launch},
         1},
        {Ending::BackupCopy,
         1,
         "Software backup Failed due to wrong file permissions, Hence Patching failed",
         {RemoveUpdateFolder, RemoveBackup, StatusFalse, ProfileRestore, Launch},
         1},
        {Ending::BrandedIcon,
         1,
         "Copying branded icon Failed, due to wrong file permissions",
         {RemoveUpdateFolder, RemoveBackup, StatusFalse, ProfileRestore, Launch},
         1},
        {Ending::UninstallerIcon,
         1,
         "Copying Uninstaller branded icon Failed, due to wrong file permissions",
         {RemoveUpdateFolder, RemoveBackup, StatusFalse, ProfileRestore, Launch},
         1},
        {Ending::InfoPlist,
         1,
         "Changing info.plist for branded application failed",
         {RemoveUpdateFolder, RemoveBackup, ProfileRestore, StatusFalse, Launch},
         1},
        {Ending::ExecutableName,
         1,
         "Changing exec name of branded application failed",
         {RemoveUpdateFolder, RemoveBackup, ProfileRestore, StatusFalse, Launch},
         1},
        {Ending::Deletion,
         1,
         "Deleting the above file failed, Hence Rolling back to old Software",
         {RollBack, RemoveUpdateFolder, RemoveBackup, ProfileRestore, StatusFalse, Launch},
         1},
        {Ending::Copy,
         1,
         "Copying the above file failed, Hence rolling back",
         {RollBack, RemoveUpdateFolder, RemoveBackup, ProfileRestore, StatusFalse, Launch},
         1},
        {Ending::Success,
         2,
         nullptr,
         {RemoveUpdateFolder, RemoveBackup, CopyBackDirectoryFiles, RemovePatcherFolder,
          RemoveProfileBackupIfPresent, StatusTrue, Launch, CompletionLine},
         0},
    };
    return table;
}

CleanUpDecision runs(std::vector<Command> commands) {
    return {std::move(commands), std::nullopt};
}

CleanUpDecision keeps(std::string reason) {
    return {{}, std::move(reason)};
}

// Emptying a bundle that cannot be written fails, and so would the copy back.
CleanUpDecision rollBack(const CleanUpFacts& facts) {
    if (facts.bundleUnchangeable) return {};
    RestoreCommands commands = restoreCommands(facts.backup, facts.application);
    return runs({commands.emptying, commands.copy});
}

// The update folder is removed as a whole, so it must be an update, and a folder of the update's
// own.
CleanUpDecision removeUpdateFolder(const CleanUpFacts& facts) {
    if (!facts.isUpdate) return keeps("it holds no usable UpdateInfo.plist");
    if (auto reason = reasonToKeepFolder(facts.updateFolder, facts.places, facts.application))
        return keeps(*reason);
    return runs({deleteTmpFolderCommand(facts.updateFolder)});
}

// After a failed roll back the backup is the only whole copy of the application left.
CleanUpDecision removeBackup(const CleanUpFacts& facts) {
    if (!facts.rolledBack) return keeps("the roll back failed");
    return runs({backupRemovalCommand(facts.backup)});
}

// The commands that replace the contents of `destination` by the entries of `source`.
std::vector<Command> replacingCommands(const std::string& source, const std::string& destination) {
    std::vector<Command> commands = {directoryEmptyingCommand(destination)};
    for (Command& copy : entryCopyCommands(
             source, destination, directoryEntryNames(source).value_or(std::vector<std::string>{})))
        commands.push_back(std::move(copy));
    return commands;
}

// The profile backup's files go back in place; the backup goes only once they are, since
// otherwise it is all that is left of them.
CleanUpDecision restoreProfile(const CleanUpFacts& facts) {
    if (!isProfileBackUpFolderPresent(facts.places)) return {};
    std::vector<Command> commands =
        replacingCommands(profileBackupPath(facts.places), userDirectoryPath(facts.places));
    commands.push_back(profileBackupRemovalCommand(facts.places));
    return runs(std::move(commands));
}

// Without directory files of the user's there is nothing to copy, and emptying the application's
// own directory folder first would only lose the files the update installed.
CleanUpDecision copyBackDirectoryFiles(const CleanUpFacts& facts) {
    if (!hasDirectoryFiles(facts.places)) return {};
    return runs(replacingCommands(userDirectoryPath(facts.places),
                                  applicationDirectoryPath(facts.application)));
}

// The patcher's folder is removed as a whole, so it must be a folder of the patcher's own.
CleanUpDecision removePatcherFolder(const CleanUpFacts& facts) {
    if (auto reason =
            reasonToKeepPatcherFolder(facts.patcherFolder, facts.places, facts.application))
        return keeps(*reason);
    return runs({patcherFolderRemovalCommand(facts.patcherFolder)});
}

}  // namespace

const EndingPlan& planFor(Ending ending) {
    for (const EndingPlan& plan : endingTable())
        if (plan.ending == ending) return plan;
    return endingTable().front();  // unreachable: the table lists every ending
}

CleanUpFacts stoppedSuccessFacts(const Places& places, const InstalledUpdate& update) {
    return {.places = places,
            .updateFolder = update.updateFolder,
            .patcherFolder = update.patcherFolder,
            .application = places.applicationsFolder + "/" + update.applicationName + ".app",
            .backup = softwareBackupPath(places),
            .isUpdate = true};
}

CleanUpDecision decideCleanUp(CleanUp step, const CleanUpFacts& facts) {
    switch (step) {
        case CleanUp::RollBack:
            return rollBack(facts);
        case CleanUp::RemoveUpdateFolder:
            return removeUpdateFolder(facts);
        case CleanUp::RemoveBackup:
            return removeBackup(facts);
        case CleanUp::ProfileRestore:
            return restoreProfile(facts);
        case CleanUp::CopyBackDirectoryFiles:
            return copyBackDirectoryFiles(facts);
        case CleanUp::RemovePatcherFolder:
            return removePatcherFolder(facts);
        case CleanUp::RemoveProfileBackupIfPresent:
            if (!isProfileBackUpFolderPresent(facts.places)) return {};
            return runs({profileBackupRemovalCommand(facts.places)});
        case CleanUp::Launch:
            return runs({launchCommand(facts.application)});
        case CleanUp::StatusFalse:
        case CleanUp::StatusTrue:
        case CleanUp::CompletionLine:
            break;  // the status file and the log line are written, no command runs
    }
    return {};
}

}  // namespace ostrel
