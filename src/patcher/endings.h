// Every way a patch run ends, and what each step of its clean-up would do. The run performs these
// endings; "--check" lists the success ending's steps from the same table.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/command.h"
#include "patcher/places.h"

namespace ostrel {

enum class Ending {
    NoArgument,
    NoDescription,
    Refused,
    BackupFolder,
    BackupCopy,
    BrandedIcon,
    UninstallerIcon,
    InfoPlist,
    ExecutableName,
    Deletion,
    Copy,
    Success,
};

enum class CleanUp {
    RollBack,
    RemoveUpdateFolder,
    RemoveBackup,
    ProfileRestore,
    StatusFalse,
    StatusTrue,
    Launch,
    CopyBackDirectoryFiles,
    RemovePatcherFolder,
    RemoveProfileBackupIfPresent,
    CompletionLine,
};

struct EndingPlan {
    Ending ending;
    int level;
    const char* announcement;  // null when nothing announces the ending
    std::vector<CleanUp> cleanUp;
    int exitStatus;
};

// The plan of `ending`: its announcement, its clean-up in order, its exit status.
const EndingPlan& planFor(Ending ending);

// What the clean-up steps are decided from: where the run works and how far it got.
struct CleanUpFacts {
    const Places& places;
    std::string updateFolder;
    std::string patcherFolder;
    std::string application;
    std::string backup;
    bool isUpdate = false;   // the update folder holds a description naming the application
    bool rolledBack = true;  // no roll back has failed
    bool bundleUnchangeable = false;  // nothing in the installed bundle can be written
};

// What one step would do: the commands it runs, in order (none for a step that runs no command or
// has nothing to do), or, for a step that removes a folder, why that folder is kept instead.
struct CleanUpDecision {
    std::vector<corvant::Command> commands;
    std::optional<std::string> keptBecause;
};

// Decides `step` as it stands now, reading the file system and changing nothing.
CleanUpDecision decideCleanUp(CleanUp step, const CleanUpFacts& facts);

// The facts the success ending of a run stopped in its clean-up is finished with, from what that
// run recorded (see backup.h): every step of the ending is one that can be run again.
struct InstalledUpdate;
CleanUpFacts stoppedSuccessFacts(const Places& places, const InstalledUpdate& update);

}  // namespace ostrel
