// Starting an application for the user at the console when root asks for it: the user of seat0's
// active session (logind), with the groups, home folder and environment of that user's session,
// as a service of the user's own service manager, else of the system's. Never as root.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvorn::linux_backend {

// How long one start of an application for the console user may take in all: the user's manager
// or bus that does not answer, or a process of the user's that is stopped, holds the caller (the
// daemon) no longer than this.
inline constexpr std::chrono::seconds kLaunchBound{10};

using Deadline = std::chrono::steady_clock::time_point;

// seat0's active session as logind describes it.
struct ConsoleSession {
    uid_t uid = 0;
    std::string userName;
    // The X11 display of a graphical session ("0" or ":0"); empty for other sessions.
    std::string display;
};

// None when logind cannot be asked, seat0 has no active session, or it is the login screen's.
std::optional<ConsoleSession> activeConsoleSession(sd_bus* systemBus);

// A user as the password and group databases know it.
struct UserAccount {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups, the primary one included
    std::string name;
    std::string home;
    std::string shell;
};

// None when `uid` has no entry in the password database.
std::optional<UserAccount> lookUpAccount(uid_t uid);

// The environment of an application started for `account`: HOME, USER, LOGNAME and SHELL from the
// account; XDG_RUNTIME_DIR and DBUS_SESSION_BUS_ADDRESS of the user's runtime folder; then the
// session's variables as the user's service manager holds them (DISPLAY, WAYLAND_DISPLAY,
// XAUTHORITY, the bus address, PATH, LANG, ...), which take precedence; DISPLAY from logind's
// session when the manager has none.
std::vector<std::string> sessionEnvironment(const UserAccount& account,
                                            const std::string& sessionDisplay,
                                            const std::vector<std::string>& managerEnvironment);

// What the system's service manager says of the manager of a user (user@<uid>.service).
enum class UserManagerState {
    kNoServiceManager,  // nothing answers for the system's service manager on the system bus
    kAbsent,            // the unit is not loaded, inactive, failed or stopping
    kStarting,          // activating: the user's manager is on its way
    kRunning,           // active (or reloading)
};

// Asks the system's service manager on `systemBus` about user@<uid>.service.
UserManagerState userManagerState(sd_bus* systemBus, uid_t uid);

// Starts applications for the user at the console, never as root. Made by root, which it stays:
// each start that needs the user's own bus runs in a child process that has become the user.
class ConsoleUserLauncher {
  public:
    ~ConsoleUserLauncher();
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
    ConsoleUserLauncher(UserAccount account, std::string sessionDisplay, sd_bus* systemBus,
                        UserManagerState userManager);
    bool startAsUser(const std::string& executable, std::string& how, bool& noUserManager,
                     Deadline deadline);
    bool startSystemService(const std::string& executable, std::string& how, Deadline deadline);

    UserAccount account_;
    std::string sessionDisplay_;
    sd_bus* systemBus_ = nullptr;
    UserManagerState userManager_;
};

}  // namespace kelvorn::linux_backend
