// "Ostrel --check": whether a run would apply an update, and the commands it would run, found
// without changing anything (no log line, no status file, no backup, no relaunch).
#pragma once

#include <string>
#include <vector>

#include "common/command.h"
#include "patcher/places.h"

namespace ostrel {

struct CheckReport {
    // What would make a run fail, one line each, naming the entry or the file.
    std::vector<std::string> problems;
    // What a run would decide on the way that is worth knowing but fails nothing.
    std::vector<std::string> notes;
    // The commands a run would run, in order, as its log would show them.
    std::vector<corvant::Command> plan;
};

// Reads and decides what a run of the patcher at `patcherPath` on `updateFolder` would: the update
// description with every validation of the run, the installed application, each source, each
// target's folder, room for the backup, the profile backup and the directory files.
CheckReport checkUpdate(const std::string& patcherPath, const std::string& updateFolder,
                        const Places& places);

// Prints the report (the plan and the verdict on standard output, each problem on standard
// error) and returns 0 when a run would apply the update, 1 otherwise.
int runCheck(const std::string& patcherPath, const std::string& updateFolder, const Places& places);

}  // namespace ostrel
