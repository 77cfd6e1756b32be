// Starting an application for the user at the console when root asks for it: the user of seat0's
// active session (logind), with the groups, home folder and environment of that user's session,
// under that user's own service manager where one runs. Never as root.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvorn::linux_backend {

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

// Starts applications as the console user. Made by root; from then on the process runs as that
// user.
class ConsoleUserLauncher {
  public:
    ~ConsoleUserLauncher();
    ConsoleUserLauncher(const ConsoleUserLauncher&) = delete;
    ConsoleUserLauncher& operator=(const ConsoleUserLauncher&) = delete;

    // Asks logind for the console user, becomes that user and reaches the user's service manager.
    // On failure `why` says what stood in the way and nothing of the process has changed that
    // could start anything as root.
    static std::unique_ptr<ConsoleUserLauncher> forConsoleUser(std::string& why);

    // Starts `executable` in the user's session: as a transient service of the user's manager
    // where one runs, otherwise directly, detached. `how` tells which, or why it failed.
    bool start(const std::string& executable, std::string& how);

    const UserAccount& account() const { return account_; }

  private:
    ConsoleUserLauncher(UserAccount account, std::vector<std::string> environment, sd_bus* userBus);
    bool startTransientService(const std::string& executable, std::string& how);

    UserAccount account_;
    std::vector<std::string> environment_;
    // The user's bus when the user's service manager is on it; null otherwise.
    sd_bus* userBus_ = nullptr;
};

}  // namespace kelvorn::linux_backend
