// The verbs that ask the running daemon over the system bus: status, devices, monitor.
#include <signal.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "kelvornctl/output.h"
#include "kelvornctl/verbs.h"
#include "platform/linux/bus_fields.h"
#include "platform/linux/bus_handles.h"
#include "platform/linux/dbus_notifications.h"
#include "platform/linux/dbus_queries.h"
#include "platform/linux/system_bus.h"

namespace kelvornctl {

namespace {

namespace backend = kelvorn::linux_backend;
using backend::BusError;
using backend::BusMessage;
using backend::FlushedBus;

// The Port rows that the devices table shows, as its columns; and those of a monitor's port line:
// the device, then the others, each after its label.
constexpr std::string_view kDeviceColumnNames[] = {"Device",   "VID",    "PID",
                                                   "BaseName", "Suffix", "Model"};
constexpr auto kDeviceColumns = backend::pickFields(backend::kPortFields, kDeviceColumnNames);
static_assert(backend::namesRows(backend::kPortFields, kDeviceColumnNames));
constexpr std::string_view kPortLineNames[] = {"Device", "VID", "PID", "Model"};
constexpr auto kPortLineFields = backend::pickFields(backend::kPortFields, kPortLineNames);
static_assert(backend::namesRows(backend::kPortFields, kPortLineNames));

// What was read of an object, as its rows name it: the values of the rows it has.
template <typename Source, std::size_t N>
corvant::Dictionary fieldsIn(const backend::BusField<Source> (&table)[N],
                             const corvant::Dictionary& read) {
    corvant::Dictionary fields;
    for (const auto& field : table) {
        if (const auto found = read.find(field.name); found != read.end()) {
            fields.emplace(found->first, found->second);
        }
    }
    return fields;
}

std::string upperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The system bus with the daemon on it; null, with the complaint made, when either is missing.
FlushedBus connectToDaemon() {
    FlushedBus bus;
    const int result = sd_bus_open_system(bus.out());
    if (result < 0) {
        complain(std::string("the system bus cannot be reached: ") + std::strerror(-result));
        return {};
    }
    if (!backend::nameHasOwner(bus.get(), backend::kDaemonBusName)) {
        complain(std::string("Kelvorn is not running: ") + backend::kDaemonBusName +
                 " is not on the system bus");
        return {};
    }
    return bus;
}

constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";

// Calls `method` of the daemon's `interface` on `path`, with `text` as its one argument when there
// is one; the reply, or null with the complaint made.
BusMessage callDaemon(sd_bus* bus, const char* path, const char* interface, const char* method,
                      const char* text = nullptr) {
    BusError error;
    BusMessage reply;
    const int result = text ? sd_bus_call_method(bus, backend::kDaemonBusName, path, interface,
                                                 method, error.get(), reply.out(), "s", text)
                            : sd_bus_call_method(bus, backend::kDaemonBusName, path, interface,
                                                 method, error.get(), reply.out(), "");
    if (result < 0) {
        complain(std::string(method) +
                 " failed: " + (error.message() != nullptr ? error.message() : "no answer"));
        return {};
    }
    return reply;
}

// A port object of GetManagedObjects or InterfacesAdded: its path and its properties.
struct PortObject {
    std::string path;
    corvant::Dictionary properties;
};

// Reads one object's a{sa{sv}}; the Port interface's properties when the object has it.
int readInterfaces(sd_bus_message* message, std::optional<corvant::Dictionary>& port) {
    int result = sd_bus_message_enter_container(message, 'a', "{sa{sv}}");
    while (result > 0 && (result = sd_bus_message_enter_container(message, 'e', "sa{sv}")) > 0) {
        const char* interface = nullptr;
        corvant::Dictionary properties;
        result = sd_bus_message_read(message, "s", &interface);
        if (result >= 0) result = backend::readUserInfo(message, properties);
        if (result >= 0) result = sd_bus_message_exit_container(message);
        if (result >= 0 && std::string_view(interface) == backend::kPortInterface) {
            port = std::move(properties);
        }
    }
    return result < 0 ? result : sd_bus_message_exit_container(message);
}

// The number at the end of a port's path, which orders the ports as they arrived.
std::uint64_t portNumber(const std::string& path) {
    return std::strtoull(path.c_str() + path.rfind('/') + 1, nullptr, 10);
}

// The supported ports present, in arrival order; none, with the complaint made, when the answer
// cannot be had.
std::optional<std::vector<PortObject>> managedPorts(sd_bus* bus) {
    const BusMessage answer =
        callDaemon(bus, backend::kNotificationPath, kObjectManager, "GetManagedObjects");
    if (!answer) return std::nullopt;
    sd_bus_message* reply = answer.get();
    std::vector<PortObject> ports;
    int result = sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}");
    while (result > 0 && (result = sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        std::optional<corvant::Dictionary> port;
        result = sd_bus_message_read(reply, "o", &path);
        if (result >= 0) result = readInterfaces(reply, port);
        if (result >= 0) result = sd_bus_message_exit_container(reply);
        if (result >= 0 && port) ports.push_back({path, std::move(*port)});
    }
    if (result < 0) {
        complain("GetManagedObjects answered something else than a{oa{sa{sv}}}");
        return std::nullopt;
    }
    std::sort(ports.begin(), ports.end(), [](const PortObject& a, const PortObject& b) {
        return portNumber(a.path) < portNumber(b.path);
    });
    return ports;
}

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int) {
    interrupted = 1;
}

// Prints a line per change the daemon announces: a port that came or went, named by what the
// daemon said of that very port; a change of its status; the daemon leaving the bus or coming
// back; a notification to the client. What was known of a daemon that left is forgotten.
class Monitor {
  public:
    Monitor(sd_bus* bus, const Invocation& invocation) : bus_(bus), invocation_(invocation) {}

    // The signals first, then the ports present, so that nothing is missed in between.
    int subscribe() {
        const std::string daemon = std::string("type='signal',sender='") + backend::kDaemonBusName +
                                   "',path='" + backend::kNotificationPath + "'";
        const struct {
            std::string rule;
            sd_bus_message_handler_t handler;
        } subscriptions[] = {
            {daemon + ",interface='" + kObjectManager + "',member='InterfacesAdded'", onAdded},
            {daemon + ",interface='" + kObjectManager + "',member='InterfacesRemoved'", onRemoved},
            {daemon +
                 ",interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
                 "arg0='" +
                 backend::kDaemonInterface + "'",
             onPropertiesChanged},
            {daemon + ",interface='" + backend::kNotificationInterface + "',member='" +
                 backend::kNotificationMember + "'",
             onPosted},
            {std::string("type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',"
                         "arg0='") +
                 backend::kDaemonBusName + "'",
             onOwnerChanged},
        };
        for (const auto& [rule, handler] : subscriptions) {
            if (const int result = sd_bus_add_match(bus_, nullptr, rule.c_str(), handler, this);
                result < 0) {
                return result;
            }
        }
        learnPresentPorts(false);
        return 0;
    }

  private:
    static Monitor& of(void* self) { return *static_cast<Monitor*>(self); }

    static int onAdded(sd_bus_message* message, void* self, sd_bus_error*) {
        const char* path = nullptr;
        std::optional<corvant::Dictionary> port;
        if (sd_bus_message_read(message, "o", &path) >= 0 && readInterfaces(message, port) >= 0 &&
            port) {
            of(self).portAdded({path, std::move(*port)});
        }
        return 0;
    }

    static int onRemoved(sd_bus_message* message, void* self, sd_bus_error*) {
        const char* path = nullptr;
        char** interfaces = nullptr;
        if (sd_bus_message_read(message, "o", &path) >= 0 &&
            sd_bus_message_read_strv(message, &interfaces) >= 0) {
            bool port = false;
            for (char** interface = interfaces; interface && *interface; ++interface) {
                port = port || std::string_view(*interface) == backend::kPortInterface;
                std::free(*interface);
            }
            std::free(interfaces);
            if (port) of(self).portRemoved(path);
        }
        return 0;
    }

    static int onPropertiesChanged(sd_bus_message* message, void* self, sd_bus_error*) {
        const char* interface = nullptr;
        corvant::Dictionary changed;
        if (sd_bus_message_read(message, "s", &interface) >= 0 &&
            backend::readUserInfo(message, changed) >= 0) {
            for (const auto& [name, value] : changed) of(self).propertyChanged(name, value);
        }
        return 0;
    }

    static int onPosted(sd_bus_message* message, void* self, sd_bus_error*) {
        const char* name = nullptr;
        corvant::Dictionary userInfo;
        if (sd_bus_message_read(message, "s", &name) >= 0 &&
            backend::readUserInfo(message, userInfo) >= 0) {
            of(self).posted(name, userInfo);
        }
        return 0;
    }

    static int onOwnerChanged(sd_bus_message* message, void* self, sd_bus_error*) {
        const char *name = nullptr, *before = nullptr, *after = nullptr;
        if (sd_bus_message_read(message, "sss", &name, &before, &after) >= 0) {
            if (*before != '\0') of(self).daemonLeft();
            if (*after != '\0') of(self).daemonBack();
        }
        return 0;
    }

    // Ports present when the monitor starts are known without a line; after the daemon came back,
    // each is a line, unless its InterfacesAdded was seen already.
    void learnPresentPorts(bool show) {
        for (auto& port : managedPorts(bus_).value_or(std::vector<PortObject>{})) {
            if (show) {
                portAdded(std::move(port));
            } else {
                ports_.emplace(port.path, std::move(port.properties));
            }
        }
    }

    void portAdded(PortObject port) {
        if (ports_.contains(port.path)) return;
        showPort("Port added", "PortAdded", port.path, port.properties);
        ports_.emplace(std::move(port.path), std::move(port.properties));
    }

    void portRemoved(const std::string& path) {
        const auto found = ports_.find(path);
        if (found == ports_.end()) return;  // gone with the daemon already
        showPort("Port removed", "PortRemoved", path, found->second);
        ports_.erase(found);
    }

    void showPort(const char* text, const char* event, const std::string& path,
                  const corvant::Dictionary& port) {
        if (invocation_.json) {
            corvant::Dictionary line = fieldsIn(backend::kPortFields, port);
            line.emplace("Time", localTime());
            line.emplace("Event", event);
            line.emplace("Path", path);
            return emit(toJson(line, invocation_.jsonStyle));
        }
        std::string line = localTime() + "  " + text;
        for (const auto* field : kPortLineFields) {
            line += "  ";
            if (field != kPortLineFields.front()) line += std::string(field->label) + " ";
            line += cell(corvant::lookup(port, field->name));
        }
        emit(line);
    }

    void propertyChanged(const std::string& name, const corvant::Value& value) {
        if (invocation_.json) {
            return emit(toJson(corvant::Dictionary{{"Time", localTime()},
                                                   {"Event", "DaemonChanged"},
                                                   {"Property", name},
                                                   {"Value", value}},
                               invocation_.jsonStyle));
        }
        emit(localTime() + "  Daemon " + cell(name) + " " + cell(value));
    }

    void posted(const std::string& name, const corvant::Dictionary& userInfo) {
        if (invocation_.json) {
            return emit(toJson(corvant::Dictionary{{"Time", localTime()},
                                                   {"Event", "Posted"},
                                                   {"Name", name},
                                                   {"VID", corvant::lookup(userInfo, "VID")},
                                                   {"PID", corvant::lookup(userInfo, "PID")}},
                               invocation_.jsonStyle));
        }
        emit(localTime() + "  Posted " + cell(name) + "  VID " +
             cell(corvant::lookup(userInfo, "VID")) + "  PID " +
             cell(corvant::lookup(userInfo, "PID")));
    }

    // The daemon's objects went with it: nothing known of them holds any more.
    void daemonLeft() {
        ports_.clear();
        daemonEvent("Daemon left the bus", "DaemonLeft");
    }

    void daemonBack() {
        daemonEvent("Daemon on the bus", "DaemonBack");
        learnPresentPorts(true);
    }

    void daemonEvent(const char* text, const char* event) {
        if (invocation_.json) {
            return emit(toJson(corvant::Dictionary{{"Time", localTime()}, {"Event", event}},
                               invocation_.jsonStyle));
        }
        emit(localTime() + "  " + text);
    }

    void emit(const std::string& line) { print(line + "\n"); }

    sd_bus* bus_;
    const Invocation& invocation_;
    // The ports known now, by object path.
    std::map<std::string, corvant::Dictionary> ports_;
};

}  // namespace

int runStatus(const Invocation& invocation) {
    const FlushedBus bus = connectToDaemon();
    if (!bus) return kExitNoDaemon;
    const BusMessage reply =
        callDaemon(bus.get(), backend::kNotificationPath, "org.freedesktop.DBus.Properties",
                   "GetAll", backend::kDaemonInterface);
    corvant::Dictionary status;
    const int result = reply ? backend::readUserInfo(reply.get(), status) : -EIO;
    if (result < 0) return kExitFindings;
    if (invocation.json) {
        return print(toJson(fieldsIn(backend::kDaemonFields, status), invocation.jsonStyle) + "\n");
    }
    // A row per property; its value alone without the legend.
    std::vector<std::vector<std::string>> rows;
    for (const auto& field : backend::kDaemonFields) {
        std::string value = cell(corvant::lookup(status, field.name));
        rows.push_back(invocation.legend ? std::vector<std::string>{field.label, std::move(value)}
                                         : std::vector<std::string>{std::move(value)});
    }
    return print(table(rows));
}

int runDevices(const Invocation& invocation) {
    const FlushedBus bus = connectToDaemon();
    if (!bus) return kExitNoDaemon;
    const auto ports = managedPorts(bus.get());
    if (!ports) return kExitFindings;
    if (invocation.json) {
        corvant::Array list;
        for (const auto& port : *ports) {
            list.emplace_back(fieldsIn(backend::kPortFields, port.properties));
        }
        return print(toJson(list, invocation.jsonStyle) + "\n");
    }
    if (ports->empty()) {
        return invocation.legend ? print("No supported device present.\n") : 0;
    }
    std::vector<std::vector<std::string>> rows;
    if (invocation.legend) {
        std::vector<std::string> heading;
        for (const auto* field : kDeviceColumns) heading.push_back(upperCase(field->label));
        rows.push_back(std::move(heading));
    }
    for (const auto& port : *ports) {
        std::vector<std::string> row;
        for (const auto* field : kDeviceColumns) {
            row.push_back(cell(corvant::lookup(port.properties, field->name)));
        }
        rows.push_back(std::move(row));
    }
    return print(table(rows));
}

int runMonitor(const Invocation& invocation) {
    const FlushedBus bus = connectToDaemon();
    if (!bus) return kExitNoDaemon;
    Monitor monitor(bus.get(), invocation);
    if (const int result = monitor.subscribe(); result < 0) {
        complain(std::string("cannot subscribe to the daemon's signals: ") +
                 std::strerror(-result));
        return kExitFindings;
    }
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    int status = 0;
    while (!interrupted) {
        int result = sd_bus_process(bus.get(), nullptr);
        if (result == 0) result = sd_bus_wait(bus.get(), UINT64_MAX);
        if (result < 0 && result != -EINTR) {
            complain(std::string("the system bus went away: ") + std::strerror(-result));
            status = kExitNoDaemon;
            break;
        }
    }
    return status;
}

}  // namespace kelvornctl
