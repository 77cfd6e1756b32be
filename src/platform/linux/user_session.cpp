#include "platform/linux/user_session.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <thread>
#include <utility>

#include "platform/linux/bundle_launcher.h"
#include "platform/linux/logind.h"

namespace kelvorn::linux_backend {

namespace {

constexpr const char* kManagerName = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
// How long the user's manager may take to start the application.
constexpr auto kStartTimeout = std::chrono::seconds(20);
// How long a user's manager that is running or starting may take to answer on the user's bus.
constexpr auto kUserManagerTimeout = std::chrono::seconds(15);
constexpr auto kUserManagerPoll = std::chrono::milliseconds(200);

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

// A bus message or error that frees itself.
struct Reply {
    sd_bus_message* message = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~Reply() {
        sd_bus_message_unref(message);
        sd_bus_error_free(&error);
    }
};

std::vector<gid_t> groupsOf(const char* name, gid_t gid) {
    int count = 32;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (getgrouplist(name, gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count) * 2);
        count = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

std::string runtimeFolder(uid_t uid) {
    return "/run/user/" + std::to_string(uid);
}

// Drops root for good: groups, then group, then user; and checks that root cannot come back.
bool becomeUser(const UserAccount& account, std::string& why) {
    if (setgroups(account.groups.size(), account.groups.data()) != 0 ||
        setresgid(account.gid, account.gid, account.gid) != 0 ||
        setresuid(account.uid, account.uid, account.uid) != 0) {
        why = std::string("could not become the user: ") + std::strerror(errno);
        return false;
    }
    if (setuid(0) == 0 || geteuid() == 0 || getuid() == 0) {
        why = "root could not be given up";
        std::_Exit(1);  // the process must not go on with root within reach
    }
    return true;
}

// The user's own bus, reached as that user; null when there is none to reach.
sd_bus* connectUserBus(uid_t uid) {
    sd_bus* bus = nullptr;
    const std::string address = "unix:path=" + runtimeFolder(uid) + "/bus";
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        return sd_bus_flush_close_unref(bus);
    }
    return bus;
}

bool managerRunsOn(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int owned = 0;
    const int result = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "NameHasOwner", &error, &reply,
                                          "s", kManagerName);
    if (result >= 0) sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return result >= 0 && owned != 0;
}

std::vector<std::string> managerEnvironment(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char** variables = nullptr;
    std::vector<std::string> environment;
    if (sd_bus_get_property_strv(bus, kManagerName, kManagerPath, kManagerInterface, "Environment",
                                 &error, &variables) >= 0 &&
        variables != nullptr) {
        for (char** variable = variables; *variable != nullptr; ++variable) {
            environment.emplace_back(*variable);
            std::free(*variable);
        }
    }
    std::free(variables);
    sd_bus_error_free(&error);
    return environment;
}

// The user's manager on the user's bus. While the manager runs or starts, it may not have
// connected to the bus yet (the bus may only just have been started for this very connection), so
// this asks again until `deadline`. A manager that runs while nothing listens on the user's bus
// (no bus is set up for the user's session) will not be found there: no waiting then.
sd_bus* waitForUserManager(uid_t uid, std::chrono::steady_clock::time_point deadline,
                           bool managerStarting) {
    sd_bus* bus = nullptr;
    while (true) {
        if (bus == nullptr) bus = connectUserBus(uid);
        if (bus != nullptr && managerRunsOn(bus)) return bus;
        if (bus != nullptr && sd_bus_is_open(bus) <= 0) bus = sd_bus_flush_close_unref(bus);
        if (std::chrono::steady_clock::now() >= deadline) break;
        if (bus == nullptr && !managerStarting) break;
        std::this_thread::sleep_for(kUserManagerPoll);
    }
    sd_bus_flush_close_unref(bus);
    return nullptr;
}

// A unit name of its own for each start.
std::string transientUnitName(const std::string& prefix) {
    return prefix + std::to_string(getpid()) + "-" + std::to_string(std::time(nullptr)) +
           ".service";
}

int appendProperty(sd_bus_message* message, const char* name, const char* text) {
    return sd_bus_message_append(message, "(sv)", name, "s", text);
}

int appendStrings(sd_bus_message* message, const char* name,
                  const std::vector<std::string>& texts) {
    int result = sd_bus_message_open_container(message, 'r', "sv");
    if (result >= 0) result = sd_bus_message_append(message, "s", name);
    if (result >= 0) result = sd_bus_message_open_container(message, 'v', "as");
    if (result >= 0) result = sd_bus_message_open_container(message, 'a', "s");
    for (const auto& text : texts) {
        if (result >= 0) result = sd_bus_message_append(message, "s", text.c_str());
    }
    for (int level = 0; level < 3 && result >= 0; ++level) {
        result = sd_bus_message_close_container(message);
    }
    return result;
}

int appendExecStart(sd_bus_message* message, const std::string& executable) {
    int result = sd_bus_message_open_container(message, 'r', "sv");
    if (result >= 0) result = sd_bus_message_append(message, "s", "ExecStart");
    if (result >= 0) result = sd_bus_message_open_container(message, 'v', "a(sasb)");
    if (result >= 0) {
        result = sd_bus_message_append(message, "a(sasb)", 1, executable.c_str(), 1,
                                       executable.c_str(), 0);
    }
    if (result >= 0) result = sd_bus_message_close_container(message);
    return result >= 0 ? sd_bus_message_close_container(message) : result;
}

// The outcome of each job the manager finished, by job path.
int onJobRemoved(sd_bus_message* message, void* results, sd_bus_error*) {
    std::uint32_t id = 0;
    const char* job = nullptr;
    const char* unit = nullptr;
    const char* result = nullptr;
    if (sd_bus_message_read(message, "uoss", &id, &job, &unit, &result) > 0) {
        (*static_cast<std::map<std::string, std::string>*>(results))[job] = result;
    }
    return 0;
}

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
// of its start job.
bool startTransientService(sd_bus* bus, const TransientService& service, const char* manager,
                           std::string& how) {
    std::map<std::string, std::string> finishedJobs;
    sd_bus_slot* match = nullptr;
    sd_bus_match_signal(bus, &match, kManagerName, kManagerPath, kManagerInterface, "JobRemoved",
                        onJobRemoved, &finishedJobs);
    // The manager sends job signals only once someone subscribed.
    sd_bus_call_method(bus, kManagerName, kManagerPath, kManagerInterface, "Subscribe", nullptr,
                       nullptr, "");

    const std::string& unit = service.unit;
    Reply call;
    sd_bus_message* request = nullptr;
    int result = sd_bus_message_new_method_call(bus, &request, kManagerName, kManagerPath,
                                                kManagerInterface, "StartTransientUnit");
    if (result >= 0) result = sd_bus_message_append(request, "ss", unit.c_str(), "fail");
    if (result >= 0) result = sd_bus_message_open_container(request, 'a', "(sv)");
    if (result >= 0) result = appendProperty(request, "Description", service.executable.c_str());
    if (result >= 0) result = appendProperty(request, "Type", "exec");
    // The application may start a program that must outlive it (the patcher that replaces its
    // bundle): the service runs until the last of its processes ends, not just the first.
    if (result >= 0) result = appendProperty(request, "ExitType", "cgroup");
    if (result >= 0) result = appendProperty(request, "CollectMode", "inactive-or-failed");
    if (result >= 0) result = appendExecStart(request, service.executable);
    if (result >= 0) result = appendStrings(request, "Environment", service.environment);
    for (const auto& [name, text] : service.texts) {
        if (result >= 0) result = appendProperty(request, name, text.c_str());
    }
    for (const auto& [name, texts] : service.lists) {
        if (result >= 0) result = appendStrings(request, name, texts);
    }
    if (result >= 0) result = sd_bus_message_close_container(request);
    if (result >= 0) result = sd_bus_message_append(request, "a(sa(sv))", 0);
    if (result >= 0) result = sd_bus_call(bus, request, 0, &call.error, &call.message);
    sd_bus_message_unref(request);
    const char* job = nullptr;
    if (result < 0 || sd_bus_message_read(call.message, "o", &job) <= 0) {
        how = std::string(manager) + " refused it: " +
              (call.error.message != nullptr ? call.error.message : std::strerror(-result));
        sd_bus_slot_unref(match);
        return false;
    }
    const std::string jobPath = job;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!finishedJobs.contains(jobPath) && std::chrono::steady_clock::now() < deadline) {
        if (sd_bus_process(bus, nullptr) > 0) continue;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (sd_bus_wait(bus, static_cast<std::uint64_t>(std::max<long>(left.count(), 0))) < 0) {
            break;
        }
    }
    sd_bus_slot_unref(match);
    const auto finished = finishedJobs.find(jobPath);
    if (finished == finishedJobs.end()) {
        how = std::string(manager) + " did not say whether it started " + unit;
        return false;
    }
    if (finished->second != "done") {
        how = std::string(manager) + " could not start " + unit + " (" + finished->second + ")";
        return false;
    }
    how = "as " + unit + " of " + manager;
    return true;
}

// How the child that became the user ended, told to its parent before the text of `how`.
enum class ChildOutcome : char { kStarted = 'S', kFailed = 'F', kNoUserManager = 'N' };

// Runs in the child: becomes the user and starts `executable` in the user's session. Waits for the
// user's manager when the system's manager said that one runs or starts; without any service
// manager, starts the executable directly.
ChildOutcome startInUserSession(const UserAccount& account, const std::string& sessionDisplay,
                                UserManagerState userManager, const std::string& executable,
                                std::string& how) {
    if (!becomeUser(account, how)) return ChildOutcome::kFailed;
    const bool expected = userManager != UserManagerState::kNoServiceManager;
    const auto deadline = std::chrono::steady_clock::now() +
                          (expected ? kUserManagerTimeout : std::chrono::seconds(0));
    sd_bus* userBus =
        waitForUserManager(account.uid, deadline, userManager == UserManagerState::kStarting);
    const auto environment = sessionEnvironment(
        account, sessionDisplay,
        userBus != nullptr ? managerEnvironment(userBus) : std::vector<std::string>{});
    if (userBus != nullptr) {
        const bool started = startTransientService(
            userBus, {transientUnitName("app-kelvorn-open-"), executable, environment, {}, {}},
            "the user's service manager", how);
        sd_bus_flush_close_unref(userBus);
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

std::optional<ConsoleSession> activeConsoleSession(sd_bus* systemBus) {
    if (systemBus == nullptr) return std::nullopt;
    const auto session = activeSessionPath(systemBus);
    if (!session || sessionText(systemBus, *session, "Class") == "greeter") return std::nullopt;
    const auto uid = sessionUid(systemBus, *session);
    if (!uid) return std::nullopt;
    return ConsoleSession{static_cast<uid_t>(*uid),
                          sessionText(systemBus, *session, "Name").value_or(""),
                          sessionText(systemBus, *session, "Display").value_or("")};
}

std::optional<UserAccount> lookUpAccount(uid_t uid) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr || found->pw_name == nullptr) return std::nullopt;
    return UserAccount{found->pw_uid,
                       found->pw_gid,
                       groupsOf(found->pw_name, found->pw_gid),
                       found->pw_name,
                       found->pw_dir != nullptr ? found->pw_dir : "/",
                       found->pw_shell != nullptr ? found->pw_shell : "/bin/sh"};
}

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

UserManagerState userManagerState(sd_bus* systemBus, uid_t uid) {
    if (systemBus == nullptr || !managerRunsOn(systemBus)) {
        return UserManagerState::kNoServiceManager;
    }
    const std::string unit = "user@" + std::to_string(uid) + ".service";
    Reply found;
    const char* path = nullptr;
    // A unit that is not loaded has no object: no manager of the user runs.
    if (sd_bus_call_method(systemBus, kManagerName, kManagerPath, kManagerInterface, "GetUnit",
                           &found.error, &found.message, "s", unit.c_str()) < 0 ||
        sd_bus_message_read(found.message, "o", &path) <= 0) {
        return UserManagerState::kAbsent;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* state = nullptr;
    std::string activeState;
    if (sd_bus_get_property_string(systemBus, kManagerName, path, "org.freedesktop.systemd1.Unit",
                                   "ActiveState", &error, &state) >= 0) {
        activeState = state;
    }
    std::free(state);
    sd_bus_error_free(&error);
    if (activeState == "active" || activeState == "reloading") return UserManagerState::kRunning;
    if (activeState == "activating") return UserManagerState::kStarting;
    return UserManagerState::kAbsent;
}

ConsoleUserLauncher::ConsoleUserLauncher(UserAccount account, std::string sessionDisplay,
                                         sd_bus* systemBus, UserManagerState userManager)
    : account_(std::move(account)),
      sessionDisplay_(std::move(sessionDisplay)),
      systemBus_(systemBus),
      userManager_(userManager) {}

ConsoleUserLauncher::~ConsoleUserLauncher() {
    sd_bus_flush_close_unref(systemBus_);
}

std::unique_ptr<ConsoleUserLauncher> ConsoleUserLauncher::forConsoleUser(std::string& why) {
    sd_bus* systemBus = nullptr;
    if (sd_bus_open_system(&systemBus) < 0) systemBus = nullptr;
    const auto session = activeConsoleSession(systemBus);
    if (!session) {
        sd_bus_flush_close_unref(systemBus);
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
    if (!account) {
        sd_bus_flush_close_unref(systemBus);
        return nullptr;
    }
    const UserManagerState userManager = userManagerState(systemBus, account->uid);
    return std::unique_ptr<ConsoleUserLauncher>(
        new ConsoleUserLauncher(std::move(*account), session->display, systemBus, userManager));
}

bool ConsoleUserLauncher::start(const std::string& executable, std::string& how) {
    if (userManager_ == UserManagerState::kAbsent) {
        if (!startSystemService(executable, how)) return false;
        how += ", no service manager of the user runs";
        return true;
    }
    bool noUserManager = false;
    if (startAsUser(executable, how, noUserManager)) return true;
    if (!noUserManager) return false;
    const std::string waited = how;
    if (!startSystemService(executable, how)) return false;
    how += ", " + waited;
    return true;
}

// In a child process, so that this one stays root for the system's manager; the child tells its
// outcome and `how` through a pipe.
bool ConsoleUserLauncher::startAsUser(const std::string& executable, std::string& how,
                                      bool& noUserManager) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        how = std::string("it could not be started: ") + std::strerror(errno);
        return false;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        std::string told;
        const ChildOutcome outcome =
            startInUserSession(account_, sessionDisplay_, userManager_, executable, told);
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
    if (child > 0) {
        char buffer[512];
        ssize_t count = 0;
        while ((count = read(report[0], buffer, sizeof buffer)) != 0) {
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) break;
            message.append(buffer, static_cast<std::size_t>(count));
        }
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    close(report[0]);
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
bool ConsoleUserLauncher::startSystemService(const std::string& executable, std::string& how) {
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
    return startTransientService(systemBus_, service, "the system's service manager", how);
}

}  // namespace kelvorn::linux_backend
