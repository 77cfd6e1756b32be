// The verbs that ask the running daemon over the system bus: status, devices, monitor.
#include <signal.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "kelvornctl/output.h"
#include "kelvornctl/verbs.h"
#include "platform/linux/dbus_notifications.h"
#include "platform/linux/dbus_queries.h"
#include "platform/linux/system_bus.h"

namespace kelvornctl {

namespace {

namespace backend = kelvorn::linux_backend;

// The system bus with the daemon on it; null, with the complaint made, when either is missing.
sd_bus* connectToDaemon() {
    sd_bus* bus = nullptr;
    int result = sd_bus_open_system(&bus);
    if (result < 0) {
        complain(std::string("the system bus cannot be reached: ") + std::strerror(-result));
        return nullptr;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int held = 0;
    result = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                backend::kDaemonBusName);
    if (result >= 0) result = sd_bus_message_read(reply, "b", &held);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (result < 0 || !held) {
        complain(std::string("Kelvorn is not running: ") + backend::kDaemonBusName +
                 " is not on the system bus");
        return sd_bus_flush_close_unref(bus);
    }
    return bus;
}

// Calls `method` of the daemon's Devices interface; the reply, or null with the complaint made.
sd_bus_message* callDaemon(sd_bus* bus, const char* method) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, backend::kDaemonBusName, backend::kNotificationPath,
                           backend::kDevicesInterface, method, &error, &reply, "") < 0) {
        complain(std::string(method) +
                 " failed: " + (error.message != nullptr ? error.message : "no answer"));
        reply = nullptr;
    }
    sd_bus_error_free(&error);
    return reply;
}

std::optional<corvant::Array> supportedDevices(sd_bus* bus) {
    sd_bus_message* reply = callDaemon(bus, backend::kGetSupportedDevices);
    if (reply == nullptr) return std::nullopt;
    corvant::Array devices;
    int result = sd_bus_message_enter_container(reply, 'a', "a{sv}");
    while (result > 0 && !sd_bus_message_at_end(reply, 0)) {
        devices.emplace_back(corvant::Dictionary{});
        result = backend::readUserInfo(reply, *devices.back().as<corvant::Dictionary>());
    }
    sd_bus_message_unref(reply);
    if (result < 0) {
        complain("GetSupportedDevices answered something else than aa{sv}");
        return std::nullopt;
    }
    return devices;
}

int print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : kExitFindings;
}

std::string localTime() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int) {
    interrupted = 1;
}

// Prints a line per notification, naming the device nodes that GetSupportedDevices lists for it.
class Monitor {
  public:
    Monitor(sd_bus* bus, bool json) : bus_(bus), json_(json) {}

    void start() {
        if (auto devices = supportedDevices(bus_)) present_ = *devices;
        for (const auto& device : present_) shown_.insert(nodeOf(device));
    }

    static int onPosted(sd_bus_message* message, void* self, sd_bus_error*) {
        const char* name = nullptr;
        corvant::Dictionary userInfo;
        if (sd_bus_message_read(message, "s", &name) < 0 ||
            backend::readUserInfo(message, userInfo) < 0) {
            return 0;
        }
        static_cast<Monitor*>(self)->report(name, userInfo);
        return 0;
    }

  private:
    static std::string nodeOf(const corvant::Value& device) {
        const auto* fields = device.as<corvant::Dictionary>();
        const auto* node = fields ? corvant::lookup(*fields, "Device").as<std::string>() : nullptr;
        return node ? *node : std::string();
    }

    static bool sameCard(const corvant::Value& device, const corvant::Dictionary& userInfo) {
        const auto* fields = device.as<corvant::Dictionary>();
        return fields && corvant::lookup(*fields, "VID") == corvant::lookup(userInfo, "VID") &&
               corvant::lookup(*fields, "PID") == corvant::lookup(userInfo, "PID");
    }

    // An arrival names the first port of the card not named before; a removal the ports of the
    // card that are gone.
    corvant::Array nodesFor(const std::string& name, const corvant::Dictionary& userInfo,
                            const corvant::Array& now) {
        corvant::Array nodes;
        std::set<std::string> present;
        for (const auto& device : now) present.insert(nodeOf(device));
        if (name == "Supported device added") {
            for (const auto& device : now) {
                const std::string node = nodeOf(device);
                if (sameCard(device, userInfo) && !node.empty() && !shown_.contains(node)) {
                    nodes.push_back(node);
                    break;
                }
            }
        } else {
            for (const auto& device : present_) {
                const std::string node = nodeOf(device);
                if (sameCard(device, userInfo) && !node.empty() && !present.contains(node)) {
                    nodes.push_back(node);
                }
            }
        }
        for (const auto& node : nodes) shown_.insert(*node.as<std::string>());
        std::erase_if(shown_, [&](const std::string& node) { return !present.contains(node); });
        return nodes;
    }

    void report(const std::string& name, const corvant::Dictionary& userInfo) {
        const corvant::Array now = supportedDevices(bus_).value_or(corvant::Array{});
        const corvant::Array nodes = nodesFor(name, userInfo, now);
        present_ = now;
        if (json_) {
            corvant::Dictionary line{{"time", localTime()},
                                     {"name", name},
                                     {"VID", corvant::lookup(userInfo, "VID")},
                                     {"PID", corvant::lookup(userInfo, "PID")},
                                     {"Devices", nodes}};
            print(toJson(line) + "\n");
            return;
        }
        std::string devices;
        for (const auto& node : nodes) devices += (devices.empty() ? "" : ",") + cell(node);
        print(localTime() + "  " + name + "  VID " + cell(corvant::lookup(userInfo, "VID")) +
              "  PID " + cell(corvant::lookup(userInfo, "PID")) + "  " +
              (devices.empty() ? "-" : devices) + "\n");
    }

    sd_bus* bus_;
    bool json_;
    corvant::Array present_;
    std::set<std::string> shown_;
};

}  // namespace

int runStatus(const Invocation& invocation) {
    sd_bus* bus = connectToDaemon();
    if (bus == nullptr) return kExitNoDaemon;
    sd_bus_message* reply = callDaemon(bus, backend::kGetStatus);
    corvant::Dictionary status;
    const int result = reply != nullptr ? backend::readUserInfo(reply, status) : -EIO;
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    if (result < 0) return kExitFindings;
    if (invocation.json) return print(toJson(status) + "\n");
    return print(table({{"State", cell(corvant::lookup(status, "State"))},
                        {"Console user", cell(corvant::lookup(status, "ConsoleUser"))},
                        {"Card list", cell(corvant::lookup(status, "CardList"))},
                        {"Families", cell(corvant::lookup(status, "Families"))}}));
}

int runDevices(const Invocation& invocation) {
    sd_bus* bus = connectToDaemon();
    if (bus == nullptr) return kExitNoDaemon;
    const auto devices = supportedDevices(bus);
    sd_bus_flush_close_unref(bus);
    if (!devices) return kExitFindings;
    if (invocation.json) return print(toJson(*devices) + "\n");
    if (devices->empty()) return print("No supported device present.\n");
    std::vector<std::vector<std::string>> rows{
        {"DEVICE", "VID", "PID", "FAMILY", "SUFFIX", "MODEL"}};
    for (const auto& device : *devices) {
        const auto* fields = device.as<corvant::Dictionary>();
        const auto field = [fields](const char* key) {
            return cell(corvant::lookup(*fields, key));
        };
        rows.push_back({field("Device"), field("VID"), field("PID"), field("BaseName"),
                        field("Suffix"), field("Model")});
    }
    return print(table(rows));
}

int runMonitor(const Invocation& invocation) {
    sd_bus* bus = connectToDaemon();
    if (bus == nullptr) return kExitNoDaemon;
    Monitor monitor(bus, invocation.json);
    // As the README tells clients: the daemon's name as sender, and its interface.
    const std::string rule = std::string("type='signal',sender='") + backend::kDaemonBusName +
                             "',path='" + backend::kNotificationPath + "',interface='" +
                             backend::kNotificationInterface + "',member='" +
                             backend::kNotificationMember + "'";
    if (const int result =
            sd_bus_add_match(bus, nullptr, rule.c_str(), &Monitor::onPosted, &monitor);
        result < 0) {
        complain(std::string("cannot subscribe to the notifications: ") + std::strerror(-result));
        sd_bus_flush_close_unref(bus);
        return kExitFindings;
    }
    monitor.start();
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    int status = 0;
    while (!interrupted) {
        int result = sd_bus_process(bus, nullptr);
        if (result == 0) result = sd_bus_wait(bus, UINT64_MAX);
        if (result < 0 && result != -EINTR) {
            complain(std::string("the system bus went away: ") + std::strerror(-result));
            status = kExitNoDaemon;
            break;
        }
    }
    sd_bus_flush_close_unref(bus);
    return status;
}

}  // namespace kelvornctl
