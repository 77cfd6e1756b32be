// A client of systemd's service managers, the system's and a user's: the state of a user's
// manager, the manager's environment, and transient services started with a wait for their start
// job. Every call gives up at a deadline.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/bus_handles.h"

namespace kelvorn::linux_backend {

using Deadline = std::chrono::steady_clock::time_point;

// Every call on `bus` from now on gives up at `deadline` (sd-bus's own default is 25 s a call).
void boundCalls(sd_bus* bus, Deadline deadline);

// What the system's service manager says of the manager of a user (user@<uid>.service).
enum class UserManagerState {
    kNoServiceManager,  // nothing answers for the system's service manager on the system bus
    kAbsent,            // the unit is not loaded, inactive, failed or stopping
    kStarting,          // activating: the user's manager is on its way
    kRunning,           // active (or reloading)
};

// Asks the system's service manager on `systemBus` about user@<uid>.service.
UserManagerState userManagerState(sd_bus* systemBus, uid_t uid);

// The user's manager on the user's own bus, reached as the user this process has become; null when
// it was not found. The manager may not have connected to the bus yet, so this asks again until
// `askUntil`; where nothing listens on the user's bus it asks again only while the manager is
// starting (`managerStarting`). The bus must answer by `deadline`; it is closed without a flush.
UnflushedBus waitForUserManager(uid_t uid, Deadline askUntil, Deadline deadline,
                                bool managerStarting);

// The environment the manager on `bus` gives its services; empty when it cannot be asked.
std::vector<std::string> managerEnvironment(sd_bus* bus);

// A unit name of its own for each start: `prefix`, then what tells this start from others.
std::string transientUnitName(const std::string& prefix);

// A transient service: `unit` runs `executable` with `environment`; `texts` and `lists` add the
// properties a particular manager needs (who it runs as, and where).
struct TransientService {
    std::string unit;
    std::string executable;
    std::vector<std::string> environment;
    std::vector<std::pair<const char*, std::string>> texts;
    std::vector<std::pair<const char*, std::vector<std::string>>> lists;
};

// Asks the manager on `bus` (`manager` names it in `how`) for the service and waits for the end
// of its start job, until `deadline`. The service ends when its last process ends, and any exit of
// the executable but the manager's own failures to start it is an ordinary end.
bool startTransientService(sd_bus* bus, const TransientService& service, const char* manager,
                           std::string& how, Deadline deadline);

}  // namespace kelvorn::linux_backend
