// What a run finds before it changes anything, as the run and "--check" both find it: an earlier
// run stopped while it changed the application, and the update folder's description with the
// installation its name points to.
#pragma once

#include <optional>
#include <string>

#include "patcher/places.h"

namespace ostrel {

// An earlier run stopped during its deletions and copies: the application it left half changed,
// and the backup that is its last whole copy.
struct InterruptedRun {
    std::string application;
    std::string backup;
    bool backupHoldsEntries = false;
};
std::optional<InterruptedRun> findInterruptedRun(const Places& places);

// The installation a description names by "InstalledApplicationName" read alone.
struct NamedInstallation {
    std::string name;
    std::string application;  // its bundle in the applications folder
    bool isBranded = false;
};

// The description of the update in a folder, its bytes read once.
struct FoundDescription {
    std::string path;
    bool present = false;
    std::optional<std::string> bytes;  // none when it is missing or cannot be read
    std::string unreadable;            // why there are none, when it is present
    std::optional<NamedInstallation> installation;
};
FoundDescription findDescription(const std::string& updateFolder, const Places& places);

}  // namespace ostrel
