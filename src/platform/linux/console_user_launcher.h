// Starting an application for the user at the console when root asks for it: the user of seat0's
// active session (logind), with the groups, home folder and environment of that user's session,
// as a service of the user's own service manager, else of the system's. Never as root.
#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/account.h"
#include "platform/linux/bus_handles.h"
#include "platform/linux/service_manager.h"

namespace kelvorn::linux_backend {

// How long one start of an application for the console user may take in all: the user's manager
// or bus that does not answer, or a process of the user's that is stopped, holds the caller (the
// daemon) no longer than this.
inline constexpr std::chrono::seconds kLaunchBound{10};

// The environment of an application started for `account`: HOME, USER, LOGNAME and SHELL from the
// account; XDG_RUNTIME_DIR and DBUS_SESSION_BUS_ADDRESS of the user's runtime folder; then the
// session's variables as the user's service manager holds them (DISPLAY, WAYLAND_DISPLAY,
// XAUTHORITY, the bus address, PATH, LANG, ...), which take precedence; DISPLAY from logind's
// session when the manager has none.
std::vector<std::string> sessionEnvironment(const UserAccount& account,
                                            const std::string& sessionDisplay,
                                            const std::vector<std::string>& managerEnvironment);

// Starts applications for the user at the console, never as root. Made by root, which it stays:
// each start that needs the user's own bus runs in a child process that has become the user.
class ConsoleUserLauncher {
  public:
    ConsoleUserLauncher(const ConsoleUserLauncher&) = delete;
    ConsoleUserLauncher& operator=(const ConsoleUserLauncher&) = delete;

    // Asks logind for the console user and the system's service manager for that user's manager,
    // each call giving up at `deadline`. On failure `why` says what stood in the way.
    static std::unique_ptr<ConsoleUserLauncher> forConsoleUser(std::string& why, Deadline deadline);

    // Starts `executable` as the user, outside the caller's service, by `deadline`:
    // - where the user's manager runs or is starting, as a transient service of it, once it
    //   answers on the user's bus (waiting until 3 s before the deadline);
    // - where it does not (or never answered), as a transient service of the system's manager
    //   that runs as the user;
    // - where no service manager runs at all, directly, detached.
    // A service ends when its last process ends, so what the application starts outlives it.
    // `how` tells which, or why it failed.
    bool start(const std::string& executable, std::string& how, Deadline deadline);

    const UserAccount& account() const { return account_; }

  private:
    ConsoleUserLauncher(UserAccount account, std::string sessionDisplay, FlushedBus systemBus,
                        UserManagerState userManager);
    bool startAsUser(const std::string& executable, std::string& how, bool& noUserManager,
                     Deadline deadline);
    bool startSystemService(const std::string& executable, std::string& how, Deadline deadline);

    UserAccount account_;
    std::string sessionDisplay_;
    FlushedBus systemBus_;
    UserManagerState userManager_;
};

}  // namespace kelvorn::linux_backend
