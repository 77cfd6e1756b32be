#include "platform/linux/console_user_launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

#include "platform/linux/bundle_launcher.h"
#include "platform/linux/logind.h"

namespace kelvorn::linux_backend {

namespace {

// The process that becomes the user is done this long before the launch's bound, so that the
// system's manager can still be asked when the user's never answered.
constexpr auto kSystemManagerReserve = std::chrono::seconds(3);

// The session's variables taken from the user's service manager.
constexpr const char* kSessionVariables[] = {"DISPLAY",
                                             "WAYLAND_DISPLAY",
                                             "XAUTHORITY",
                                             "DBUS_SESSION_BUS_ADDRESS",
                                             "XDG_RUNTIME_DIR",
                                             "XDG_SESSION_TYPE",
                                             "XDG_CURRENT_DESKTOP",
                                             "XDG_DATA_DIRS",
                                             "PATH",
                                             "LANG",
                                             "LANGUAGE"};

// Closes every descriptor of the process above standard error but `kept`: the system bus's
// connection first, so that nothing of root's reaches the user's side.
void closeDescriptorsBut(int kept, int systemBus) {
    if (systemBus > STDERR_FILENO && systemBus != kept) close(systemBus);
    const auto closeFrom = [](unsigned first, unsigned last) {
        if (first > last || close_range(first, last, 0) == 0) return;
        const long limit = sysconf(_SC_OPEN_MAX);
        const unsigned end = std::min<unsigned>(last, limit > 0 ? limit - 1 : 65535);
        for (unsigned descriptor = first; descriptor <= end; ++descriptor) close(descriptor);
    };
    const unsigned first = STDERR_FILENO + 1;
    if (kept < static_cast<int>(first)) {
        closeFrom(first, ~0u);
        return;
    }
    if (static_cast<unsigned>(kept) > first) closeFrom(first, static_cast<unsigned>(kept) - 1);
    closeFrom(static_cast<unsigned>(kept) + 1, ~0u);
}

// Reads `descriptor` to its end into `text`; false when the end did not come by `deadline`.
bool readUntilEnd(int descriptor, Deadline deadline, std::string& text) {
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd ready{descriptor, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return false;
        char buffer[512];
        const ssize_t count = read(descriptor, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return true;
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

// How the child that became the user ended, told to its parent before the text of `how`.
enum class ChildOutcome : char { kStarted = 'S', kFailed = 'F', kNoUserManager = 'N' };

// Runs in the child: becomes the user and starts `executable` in the user's session, by
// `deadline`. Waits for the user's manager when the system's manager said that one runs or starts;
// without any service manager, starts the executable directly.
ChildOutcome startInUserSession(const UserAccount& account, const std::string& sessionDisplay,
                                UserManagerState userManager, const std::string& executable,
                                std::string& how, Deadline deadline) {
    if (!becomeUser(account, how)) return ChildOutcome::kFailed;
    const bool expected = userManager != UserManagerState::kNoServiceManager;
    const auto askUntil = expected ? deadline : std::chrono::steady_clock::now();
    const UnflushedBus userBus = waitForUserManager(account.uid, askUntil, deadline,
                                                    userManager == UserManagerState::kStarting);
    const auto environment = sessionEnvironment(
        account, sessionDisplay,
        userBus ? managerEnvironment(userBus.get()) : std::vector<std::string>{});
    if (userBus) {
        const bool started = startTransientService(
            userBus.get(),
            {transientUnitName("app-kelvorn-open-"), executable, environment, {}, {}},
            "the user's service manager", how, deadline);
        return started ? ChildOutcome::kStarted : ChildOutcome::kFailed;
    }
    if (expected) {
        how = "the user's service manager did not answer on the user's bus";
        return ChildOutcome::kNoUserManager;
    }
    if (!launchDetached(executable, LaunchSettings{environment, account.home})) {
        how = "it could not be started";
        return ChildOutcome::kFailed;
    }
    how = "directly, no service manager runs";
    return ChildOutcome::kStarted;
}

}  // namespace

std::vector<std::string> sessionEnvironment(const UserAccount& account,
                                            const std::string& sessionDisplay,
                                            const std::vector<std::string>& managerEnvironment) {
    std::map<std::string, std::string> variables{
        {"HOME", account.home},
        {"USER", account.name},
        {"LOGNAME", account.name},
        {"SHELL", account.shell},
        {"PATH", "/usr/local/bin:/usr/bin:/bin"},
        {"XDG_RUNTIME_DIR", runtimeFolder(account.uid)},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtimeFolder(account.uid) + "/bus"},
    };
    if (!sessionDisplay.empty()) {
        variables["DISPLAY"] =
            sessionDisplay.front() == ':' ? sessionDisplay : ":" + sessionDisplay;
    }
    for (const std::string& variable : managerEnvironment) {
        const auto equals = variable.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = variable.substr(0, equals);
        for (const char* wanted : kSessionVariables) {
            if (name == wanted) variables[name] = variable.substr(equals + 1);
        }
    }
    std::vector<std::string> environment;
    for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
    return environment;
}

ConsoleUserLauncher::ConsoleUserLauncher(UserAccount account, std::string sessionDisplay,
                                         FlushedBus systemBus, UserManagerState userManager)
    : account_(std::move(account)),
      sessionDisplay_(std::move(sessionDisplay)),
      systemBus_(std::move(systemBus)),
      userManager_(userManager) {}

std::unique_ptr<ConsoleUserLauncher> ConsoleUserLauncher::forConsoleUser(std::string& why,
                                                                         Deadline deadline) {
    FlushedBus systemBus;
    if (sd_bus_open_system(systemBus.out()) < 0) systemBus.reset();
    if (systemBus) boundCalls(systemBus.get(), deadline);
    const auto session = activeConsoleSession(systemBus.get());
    if (!session) {
        why = "nobody is logged in at the console";
        return nullptr;
    }
    const std::string user = "user " +
                             (session->userName.empty() ? std::string("?") : session->userName) +
                             " (uid " + std::to_string(session->uid) + ")";
    std::optional<UserAccount> account;
    if (session->uid == 0) {
        why = "the console user is root, and applications are never started as root";
    } else if (!(account = lookUpAccount(session->uid))) {
        why = "the console " + user + " is not in the password database";
    }
    if (!account) return nullptr;
    boundCalls(systemBus.get(), deadline);
    const UserManagerState userManager = userManagerState(systemBus.get(), account->uid);
    return std::unique_ptr<ConsoleUserLauncher>(new ConsoleUserLauncher(
        std::move(*account), session->display, std::move(systemBus), userManager));
}

bool ConsoleUserLauncher::start(const std::string& executable, std::string& how,
                                Deadline deadline) {
    if (userManager_ == UserManagerState::kAbsent) {
        if (!startSystemService(executable, how, deadline)) return false;
        how += ", no service manager of the user runs";
        return true;
    }
    bool noUserManager = false;
    if (startAsUser(executable, how, noUserManager, deadline)) return true;
    if (!noUserManager) return false;
    const std::string waited = how;
    if (!startSystemService(executable, how, deadline)) return false;
    how += ", " + waited;
    return true;
}

// In a child process, so that this one stays root for the system's manager; the child tells its
// outcome and `how` through a pipe. A child that has not told it by `deadline` (the user stopped
// it, say) is ended, and the start has failed.
bool ConsoleUserLauncher::startAsUser(const std::string& executable, std::string& how,
                                      bool& noUserManager, Deadline deadline) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        how = std::string("it could not be started: ") + std::strerror(errno);
        return false;
    }
    // Taken here: sd-bus refuses every call in a forked child.
    const int systemBusDescriptor = systemBus_ ? sd_bus_get_fd(systemBus_.get()) : -1;
    const pid_t child = fork();
    if (child == 0) {
        closeDescriptorsBut(report[1], systemBusDescriptor);
        std::string told;
        const ChildOutcome outcome =
            startInUserSession(account_, sessionDisplay_, userManager_, executable, told,
                               deadline - kSystemManagerReserve);
        const std::string message = static_cast<char>(outcome) + told;
        std::size_t written = 0;
        while (written < message.size()) {
            const ssize_t count =
                write(report[1], message.data() + written, message.size() - written);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) break;
            written += static_cast<std::size_t>(count);
        }
        _exit(0);
    }
    close(report[1]);
    std::string message;
    bool told = false;
    if (child > 0) {
        told = readUntilEnd(report[0], deadline, message);
        if (!told) kill(child, SIGKILL);
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    close(report[0]);
    if (child > 0 && !told) {
        how = "the process that became the user did not finish within " +
              std::to_string(kLaunchBound.count()) + " s and was ended";
        return false;
    }
    if (message.empty()) {
        how = "it could not be started: the process that becomes the user failed";
        return false;
    }
    how = message.substr(1);
    noUserManager = message.front() == static_cast<char>(ChildOutcome::kNoUserManager);
    return message.front() == static_cast<char>(ChildOutcome::kStarted);
}

// A transient service of the system's manager that runs as the user, with the user's groups,
// home folder and session variables, in the user's slice: outside the caller's service and its
// sandbox, so that stopping or restarting the caller leaves it running.
bool ConsoleUserLauncher::startSystemService(const std::string& executable, std::string& how,
                                             Deadline deadline) {
    std::vector<std::string> groups;
    for (const gid_t group : account_.groups) groups.push_back(std::to_string(group));
    TransientService service{
        transientUnitName("kelvorn-open-" + std::to_string(account_.uid) + "-"),
        executable,
        sessionEnvironment(account_, sessionDisplay_, {}),
        {{"User", std::to_string(account_.uid)},
         {"Group", std::to_string(account_.gid)},
         // The home folder when it can be entered, else the root (as a direct start does).
         {"WorkingDirectory", "-" + account_.home},
         {"Slice", "user-" + std::to_string(account_.uid) + ".slice"}},
        {{"SupplementaryGroups", groups}},
    };
    return startTransientService(systemBus_.get(), service, "the system's service manager", how,
                                 deadline);
}

}  // namespace kelvorn::linux_backend
