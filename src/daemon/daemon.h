// Kelvorn, the card monitor daemon: its entry point.
#pragma once

#include <string>

#include "common/log_file.h"
#include "platform/platform.h"

namespace kelvorn {

// The base folders the daemon works in. The executable passes the fixed real ones; tests hand in
// temporary folders.
struct DaemonPlaces {
    std::string applicationsFolder = "/Applications";
    std::string usersFolder = "/Users";
    // Where "Daemon.log" goes; its systemLog defaults to platform.systemLog.
    corvant::LogFile::Places log;
};

// Creates the daemon's log and state, runs start-up and then the run loop; returns the process's
// exit status (1 when the card list is missing; 0 if the run loop ever returns).
int runDaemon(Platform& platform, const DaemonPlaces& places = {});

}  // namespace kelvorn
