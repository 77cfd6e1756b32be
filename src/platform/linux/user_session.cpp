#include "platform/linux/user_session.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include "platform/linux/bundle_launcher.h"
#include "platform/linux/logind.h"

namespace kelvorn::linux_backend {

namespace {

constexpr const char* kManagerName = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
// How long the user's manager may take to start the application.
constexpr auto kStartTimeout = std::chrono::seconds(20);

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

// A unit name of its own for each start.
std::string transientUnitName() {
    return "app-kelvorn-open-" + std::to_string(getpid()) + "-" +
           std::to_string(std::time(nullptr)) + ".service";
}

int appendProperty(sd_bus_message* message, const char* name, const char* text) {
    return sd_bus_message_append(message, "(sv)", name, "s", text);
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

int appendEnvironment(sd_bus_message* message, const std::vector<std::string>& environment) {
    int result = sd_bus_message_open_container(message, 'r', "sv");
    if (result >= 0) result = sd_bus_message_append(message, "s", "Environment");
    if (result >= 0) result = sd_bus_message_open_container(message, 'v', "as");
    if (result >= 0) result = sd_bus_message_open_container(message, 'a', "s");
    for (const auto& variable : environment) {
        if (result >= 0) result = sd_bus_message_append(message, "s", variable.c_str());
    }
    for (int level = 0; level < 3 && result >= 0; ++level) {
        result = sd_bus_message_close_container(message);
    }
    return result;
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

ConsoleUserLauncher::ConsoleUserLauncher(UserAccount account, std::vector<std::string> environment,
                                         sd_bus* userBus)
    : account_(std::move(account)), environment_(std::move(environment)), userBus_(userBus) {}

ConsoleUserLauncher::~ConsoleUserLauncher() {
    sd_bus_flush_close_unref(userBus_);
}

std::unique_ptr<ConsoleUserLauncher> ConsoleUserLauncher::forConsoleUser(std::string& why) {
    sd_bus* systemBus = nullptr;
    if (sd_bus_open_system(&systemBus) < 0) systemBus = nullptr;
    const auto session = activeConsoleSession(systemBus);
    sd_bus_flush_close_unref(systemBus);
    if (!session) {
        why = "nobody is logged in at the console";
        return nullptr;
    }
    const std::string user = "user " +
                             (session->userName.empty() ? std::string("?") : session->userName) +
                             " (uid " + std::to_string(session->uid) + ")";
    if (session->uid == 0) {
        why = "the console user is root, and applications are never started as root";
        return nullptr;
    }
    auto account = lookUpAccount(session->uid);
    if (!account) {
        why = "the console " + user + " is not in the password database";
        return nullptr;
    }
    if (!becomeUser(*account, why)) return nullptr;
    sd_bus* userBus = connectUserBus(account->uid);
    if (userBus != nullptr && !managerRunsOn(userBus)) {
        userBus = sd_bus_flush_close_unref(userBus);
    }
    auto environment = sessionEnvironment(
        *account, session->display,
        userBus != nullptr ? managerEnvironment(userBus) : std::vector<std::string>{});
    return std::unique_ptr<ConsoleUserLauncher>(
        new ConsoleUserLauncher(std::move(*account), std::move(environment), userBus));
}

bool ConsoleUserLauncher::start(const std::string& executable, std::string& how) {
    if (userBus_ != nullptr) return startTransientService(executable, how);
    if (!launchDetached(executable, LaunchSettings{environment_, account_.home})) {
        how = "it could not be started";
        return false;
    }
    how = "directly, no service manager of the user runs";
    return true;
}

bool ConsoleUserLauncher::startTransientService(const std::string& executable, std::string& how) {
    std::map<std::string, std::string> finishedJobs;
    sd_bus_slot* match = nullptr;
    sd_bus_match_signal(userBus_, &match, kManagerName, kManagerPath, kManagerInterface,
                        "JobRemoved", onJobRemoved, &finishedJobs);
    // The manager sends job signals only once someone subscribed.
    sd_bus_call_method(userBus_, kManagerName, kManagerPath, kManagerInterface, "Subscribe",
                       nullptr, nullptr, "");

    const std::string unit = transientUnitName();
    Reply call;
    sd_bus_message* request = nullptr;
    int result = sd_bus_message_new_method_call(userBus_, &request, kManagerName, kManagerPath,
                                                kManagerInterface, "StartTransientUnit");
    if (result >= 0) result = sd_bus_message_append(request, "ss", unit.c_str(), "fail");
    if (result >= 0) result = sd_bus_message_open_container(request, 'a', "(sv)");
    if (result >= 0) result = appendProperty(request, "Description", executable.c_str());
    if (result >= 0) result = appendProperty(request, "Type", "exec");
    if (result >= 0) result = appendProperty(request, "CollectMode", "inactive-or-failed");
    if (result >= 0) result = appendExecStart(request, executable);
    if (result >= 0) result = appendEnvironment(request, environment_);
    if (result >= 0) result = sd_bus_message_close_container(request);
    if (result >= 0) result = sd_bus_message_append(request, "a(sa(sv))", 0);
    if (result >= 0) result = sd_bus_call(userBus_, request, 0, &call.error, &call.message);
    sd_bus_message_unref(request);
    const char* job = nullptr;
    if (result < 0 || sd_bus_message_read(call.message, "o", &job) <= 0) {
        how = std::string("the user's service manager refused it: ") +
              (call.error.message != nullptr ? call.error.message : std::strerror(-result));
        sd_bus_slot_unref(match);
        return false;
    }
    const std::string jobPath = job;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!finishedJobs.contains(jobPath) && std::chrono::steady_clock::now() < deadline) {
        if (sd_bus_process(userBus_, nullptr) > 0) continue;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (sd_bus_wait(userBus_, static_cast<std::uint64_t>(std::max<long>(left.count(), 0))) <
            0) {
            break;
        }
    }
    sd_bus_slot_unref(match);
    const auto finished = finishedJobs.find(jobPath);
    if (finished == finishedJobs.end()) {
        how = "the user's service manager did not say whether it started " + unit;
        return false;
    }
    if (finished->second != "done") {
        how = "the user's service manager could not start " + unit + " (" + finished->second + ")";
        return false;
    }
    how = "as " + unit + " of the user's service manager";
    return true;
}

}  // namespace kelvorn::linux_backend
