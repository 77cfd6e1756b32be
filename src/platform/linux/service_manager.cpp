#include "platform/linux/service_manager.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <thread>

#include "platform/linux/account.h"
#include "platform/linux/bundle_launcher.h"

namespace kelvorn::linux_backend {

namespace {

constexpr const char* kManagerName = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr auto kUserManagerPoll = std::chrono::milliseconds(200);

// Drives `bus` through its authentication and greeting until it can take calls; false when it
// closed, or did not get there by `deadline` (a socket that takes connections and never answers).
bool becomesReady(sd_bus* bus, Deadline deadline) {
    while (sd_bus_is_ready(bus) <= 0) {
        if (sd_bus_is_open(bus) <= 0) return false;
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) return false;
        if (processed > 0) continue;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        const int waited = sd_bus_wait(bus, static_cast<std::uint64_t>(left.count()));
        if (waited < 0 && waited != -EINTR) return false;
    }
    return true;
}

// The user's own bus, reached as that user; null when there is none to reach, or when it did not
// answer by `deadline`. The user's bus is closed without a flush, which would wait for an answer
// again, with no bound.
UnflushedBus connectUserBus(uid_t uid, Deadline deadline) {
    UnflushedBus bus;
    const std::string address = "unix:path=" + runtimeFolder(uid) + "/bus";
    if (sd_bus_new(bus.out()) < 0) return {};
    if (sd_bus_set_address(bus.get(), address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus.get(), 1) < 0 || sd_bus_start(bus.get()) < 0 ||
        !becomesReady(bus.get(), deadline)) {
        return {};
    }
    boundCalls(bus.get(), deadline);
    return bus;
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

// StartTransientUnit's arguments for `service`.
int appendTransientUnit(sd_bus_message* request, const TransientService& service) {
    int result = sd_bus_message_append(request, "ss", service.unit.c_str(), "fail");
    if (result >= 0) result = sd_bus_message_open_container(request, 'a', "(sv)");
    if (result >= 0) {
        // The manager writes it into the unit file unescaped.
        result = appendProperty(request, "Description",
                                withControlCharactersEscaped(service.executable).c_str());
    }
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
    return result;
}

// Handles what arrives on `bus` until the job at `jobPath` is among `finishedJobs`, or until
// `deadline`.
void waitForJob(sd_bus* bus, const std::string& jobPath,
                const std::map<std::string, std::string>& finishedJobs, Deadline deadline) {
    while (!finishedJobs.contains(jobPath) && std::chrono::steady_clock::now() < deadline) {
        if (sd_bus_process(bus, nullptr) > 0) continue;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (sd_bus_wait(bus, static_cast<std::uint64_t>(std::max<long>(left.count(), 0))) < 0) {
            break;
        }
    }
}

}  // namespace

// Every call on `bus` from now on gives up at `deadline` (sd-bus's own default is 25 s a call).
void boundCalls(sd_bus* bus, Deadline deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    sd_bus_set_method_call_timeout(bus,
                                   static_cast<std::uint64_t>(std::max<long>(left.count(), 1)));
}

UserManagerState userManagerState(sd_bus* systemBus, uid_t uid) {
    if (systemBus == nullptr || !nameHasOwner(systemBus, kManagerName)) {
        return UserManagerState::kNoServiceManager;
    }
    const std::string unit = "user@" + std::to_string(uid) + ".service";
    BusMessage found;
    BusError notFound;
    const char* path = nullptr;
    // A unit that is not loaded has no object: no manager of the user runs.
    if (sd_bus_call_method(systemBus, kManagerName, kManagerPath, kManagerInterface, "GetUnit",
                           notFound.get(), found.out(), "s", unit.c_str()) < 0 ||
        sd_bus_message_read(found.get(), "o", &path) <= 0) {
        return UserManagerState::kAbsent;
    }
    BusError error;
    char* state = nullptr;
    std::string activeState;
    if (sd_bus_get_property_string(systemBus, kManagerName, path, "org.freedesktop.systemd1.Unit",
                                   "ActiveState", error.get(), &state) >= 0) {
        activeState = state;
    }
    std::free(state);
    if (activeState == "active" || activeState == "reloading") return UserManagerState::kRunning;
    if (activeState == "activating") return UserManagerState::kStarting;
    return UserManagerState::kAbsent;
}

std::vector<std::string> managerEnvironment(sd_bus* bus) {
    BusError error;
    char** variables = nullptr;
    std::vector<std::string> environment;
    if (sd_bus_get_property_strv(bus, kManagerName, kManagerPath, kManagerInterface, "Environment",
                                 error.get(), &variables) >= 0 &&
        variables != nullptr) {
        for (char** variable = variables; *variable != nullptr; ++variable) {
            environment.emplace_back(*variable);
            std::free(*variable);
        }
    }
    std::free(variables);
    return environment;
}

// A manager that runs while nothing listens on the user's bus (no bus is set up for the user's
// session) will not be found there: no waiting then. The bus may only just have been started for
// this very connection, before the manager connected to it.
UnflushedBus waitForUserManager(uid_t uid, Deadline askUntil, Deadline deadline,
                                bool managerStarting) {
    UnflushedBus bus;
    while (true) {
        if (!bus) bus = connectUserBus(uid, deadline);
        if (bus && nameHasOwner(bus.get(), kManagerName)) return bus;
        if (bus && sd_bus_is_open(bus.get()) <= 0) bus.reset();
        if (std::chrono::steady_clock::now() >= askUntil) break;
        if (!bus && !managerStarting) break;
        std::this_thread::sleep_for(kUserManagerPoll);
    }
    return {};
}

std::string transientUnitName(const std::string& prefix) {
    return prefix + std::to_string(getpid()) + "-" + std::to_string(std::time(nullptr)) +
           ".service";
}

bool startTransientService(sd_bus* bus, const TransientService& service, const char* manager,
                           std::string& how, Deadline deadline) {
    std::map<std::string, std::string> finishedJobs;
    BusSlot match;
    sd_bus_match_signal(bus, match.out(), kManagerName, kManagerPath, kManagerInterface,
                        "JobRemoved", onJobRemoved, &finishedJobs);
    // The manager sends job signals only once someone subscribed.
    boundCalls(bus, deadline);
    sd_bus_call_method(bus, kManagerName, kManagerPath, kManagerInterface, "Subscribe", nullptr,
                       nullptr, "");

    const std::string& unit = service.unit;
    BusMessage request;
    BusMessage reply;
    BusError error;
    int result = sd_bus_message_new_method_call(bus, request.out(), kManagerName, kManagerPath,
                                                kManagerInterface, "StartTransientUnit");
    if (result >= 0) result = appendTransientUnit(request.get(), service);
    if (result >= 0) boundCalls(bus, deadline);
    if (result >= 0) result = sd_bus_call(bus, request.get(), 0, error.get(), reply.out());
    const char* job = nullptr;
    if (result < 0 || sd_bus_message_read(reply.get(), "o", &job) <= 0) {
        how = std::string(manager) + " refused it: " +
              (error.message() != nullptr ? error.message() : std::strerror(-result));
        return false;
    }
    const std::string jobPath = job;
    waitForJob(bus, jobPath, finishedJobs, deadline);
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

}  // namespace kelvorn::linux_backend
