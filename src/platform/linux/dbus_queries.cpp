#include "platform/linux/dbus_queries.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/linux/bus_fields.h"
#include "platform/linux/bus_handles.h"
#include "platform/linux/dbus_notifications.h"

namespace kelvorn::linux_backend {

namespace {

// A row's value in `source`, as a basic value of the row's type.
template <typename Source>
int appendValue(sd_bus_message* message, const BusField<Source>& field, const Source& source) {
    return std::visit(
        [&](auto member) {
            const auto& value = source.*member;
            if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::string>) {
                return sd_bus_message_append_basic(message, 's', value.c_str());
            } else {
                return sd_bus_message_append_basic(message, *signatureOf(field), &value);
            }
        },
        field.member);
}

// The rows' values in `source` as an a{sv}, each under its name.
template <typename Source, std::size_t N>
int appendDictionary(sd_bus_message* message, const std::array<const BusField<Source>*, N>& fields,
                     const Source& source) {
    int result = sd_bus_message_open_container(message, 'a', "{sv}");
    for (auto field = fields.begin(); result >= 0 && field != fields.end(); ++field) {
        result = sd_bus_message_open_container(message, 'e', "sv");
        if (result >= 0) result = sd_bus_message_append_basic(message, 's', (*field)->name);
        if (result >= 0) result = sd_bus_message_open_container(message, 'v', signatureOf(**field));
        if (result >= 0) result = appendValue(message, **field, source);
        if (result >= 0) result = sd_bus_message_close_container(message);
        if (result >= 0) result = sd_bus_message_close_container(message);
    }
    return result < 0 ? result : sd_bus_message_close_container(message);
}

// Sends the reply that `fill` completes; an answer that cannot be built is the daemon's own error.
int reply(sd_bus_message* call, sd_bus_error* error, auto fill) {
    BusMessage answer;
    int result = sd_bus_message_new_method_return(call, answer.out());
    if (result >= 0) result = fill(answer.get());
    if (result >= 0) result = sd_bus_send(nullptr, answer.get(), nullptr);
    if (result >= 0) return result;
    return sd_bus_error_setf(error, kFailedError, "%s could not be answered: %s",
                             sd_bus_message_get_member(call), std::strerror(-result));
}

const DeviceObjects& objectsOf(void* userdata) {
    return *static_cast<const DeviceObjects*>(userdata);
}

int onGetSupportedDevices(sd_bus_message* call, void* objects, sd_bus_error* error) {
    const auto& ports = objectsOf(objects).queries().supportedPorts();
    return reply(call, error,
                 [&](sd_bus_message* answer) { return appendSupportedPorts(answer, ports); });
}

int onGetStatus(sd_bus_message* call, void* objects, sd_bus_error* error) {
    const DaemonStatus status = objectsOf(objects).queries().status();
    return reply(call, error, [&](sd_bus_message* answer) { return appendStatus(answer, status); });
}

// sd-bus answers only callers of the daemon's own user unless a method is marked unprivileged;
// these are for every user, as the bus policy says.
const sd_bus_vtable kDevicesVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES(kGetSupportedDevices, "", SD_BUS_PARAM(), "aa{sv}",
                             SD_BUS_PARAM(devices), onGetSupportedDevices,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(kGetStatus, "", SD_BUS_PARAM(), "a{sv}", SD_BUS_PARAM(status),
                             onGetStatus, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

// Appends the property `name` of `source`, as its row in `table` says.
template <typename Source, std::size_t N>
int appendProperty(sd_bus_message* reply, const BusField<Source> (&table)[N], const char* name,
                   const Source& source) {
    for (const BusField<Source>& field : table) {
        if (std::string_view(field.name) == name) return appendValue(reply, field, source);
    }
    return -ENOENT;
}

int getDaemonProperty(sd_bus*, const char*, const char*, const char* property,
                      sd_bus_message* reply, void* objects, sd_bus_error*) {
    return appendProperty(reply, kDaemonFields, property, objectsOf(objects).queries().status());
}

// `port` is what findPort found.
int getPortProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                    void* port, sd_bus_error*) {
    return appendProperty(reply, kPortFields, property, *static_cast<const SupportedPort*>(port));
}

// A vtable of a property per row, each read by `get`.
template <typename Source, std::size_t N, std::size_t... row>
constexpr std::array<sd_bus_vtable, N + 2> propertyVtable(const BusField<Source> (&table)[N],
                                                          sd_bus_property_get_t get,
                                                          std::index_sequence<row...>) {
    return {{SD_BUS_VTABLE_START(0),
             SD_BUS_PROPERTY(table[row].name, signatureOf(table[row]), get, 0,
                             table[row].changes ? SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE
                                                : SD_BUS_VTABLE_PROPERTY_CONST)...,
             SD_BUS_VTABLE_END}};
}

template <typename Source, std::size_t N>
constexpr std::array<sd_bus_vtable, N + 2> propertyVtable(const BusField<Source> (&table)[N],
                                                          sd_bus_property_get_t get) {
    return propertyVtable(table, get, std::make_index_sequence<N>());
}

// Made by the compiler, so that the unused part of each entry is zero, as sd-bus needs it.
constexpr auto kDaemonVtable = propertyVtable(kDaemonFields, getDaemonProperty);
constexpr auto kPortVtable = propertyVtable(kPortFields, getPortProperty);

int findPort(sd_bus*, const char* path, const char*, void* objects, void** found, sd_bus_error*) {
    const SupportedPort* port = objectsOf(objects).portAt(path);
    if (port == nullptr) return 0;
    *found = const_cast<SupportedPort*>(port);
    return 1;
}

// The ports' paths as sd-bus takes them: a NULL-ended array of strings, all from malloc.
int enumeratePorts(sd_bus*, const char*, void* objects, char*** nodes, sd_bus_error*) {
    const std::vector<std::string> paths = objectsOf(objects).portPaths();
    char** list = static_cast<char**>(std::calloc(paths.size() + 1, sizeof(char*)));
    if (list == nullptr) return -ENOMEM;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        list[i] = strdup(paths[i].c_str());
        if (list[i] == nullptr) {
            for (std::size_t j = 0; j < i; ++j) std::free(list[j]);
            std::free(list);
            return -ENOMEM;
        }
    }
    *nodes = list;
    return 0;
}

std::string portPath(std::uint64_t number) {
    return std::string(kPortPathPrefix) + "/" + std::to_string(number);
}

}  // namespace

int appendSupportedPorts(sd_bus_message* message, const std::vector<SupportedPort>& ports) {
    int result = sd_bus_message_open_container(message, 'a', "a{sv}");
    for (auto port = ports.begin(); result >= 0 && port != ports.end(); ++port) {
        result = appendDictionary(message, kGetSupportedDevicesFields, *port);
    }
    return result < 0 ? result : sd_bus_message_close_container(message);
}

int appendStatus(sd_bus_message* message, const DaemonStatus& status) {
    return appendDictionary(message, kGetStatusFields, status);
}

DeviceObjects::DeviceObjects(const DeviceQueries& queries, std::function<sd_bus*()> connection)
    : queries_(queries), connection_(std::move(connection)) {
    for (const auto& port : queries_.supportedPorts()) portListed(port);
}

int DeviceObjects::publishOn(sd_bus* bus) {
    void* self = this;
    int result = sd_bus_add_object_vtable(bus, nullptr, kNotificationPath, kDevicesInterface,
                                          kDevicesVtable, self);
    if (result >= 0) {
        result = sd_bus_add_object_vtable(bus, nullptr, kNotificationPath, kDaemonInterface,
                                          kDaemonVtable.data(), self);
    }
    if (result >= 0) result = sd_bus_add_object_manager(bus, nullptr, kNotificationPath);
    if (result >= 0) {
        result = sd_bus_add_fallback_vtable(bus, nullptr, kPortPathPrefix, kPortInterface,
                                            kPortVtable.data(), findPort, self);
    }
    if (result >= 0) {
        result = sd_bus_add_node_enumerator(bus, nullptr, kPortPathPrefix, enumeratePorts, self);
    }
    return result;
}

const SupportedPort* DeviceObjects::portAt(const char* path) const {
    const std::string_view prefix = kPortPathPrefix;
    std::string_view rest = path;
    if (!rest.starts_with(prefix) || rest.size() < prefix.size() + 2 ||
        rest[prefix.size()] != '/') {
        return nullptr;
    }
    rest.remove_prefix(prefix.size() + 1);
    // One spelling per object: no sign, no leading zero.
    if (rest.front() < '1' || rest.front() > '9') return nullptr;
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
    if (error != std::errc() || end != rest.data() + rest.size()) return nullptr;
    const auto found = ports_.find(number);
    return found == ports_.end() ? nullptr : &found->second;
}

std::vector<std::string> DeviceObjects::portPaths() const {
    std::vector<std::string> paths;
    paths.reserve(ports_.size());
    for (const auto& [number, port] : ports_) paths.push_back(portPath(number));
    return paths;
}

// Each announcement is flushed at once: the daemon may block in its next step for a while.
void DeviceObjects::portListed(const SupportedPort& port) {
    if (numberOf_.contains(port.identity)) return;
    const std::uint64_t number = ++lastNumber_;
    numberOf_.emplace(port.identity, number);
    ports_.emplace(number, port);
    if (sd_bus* bus = connection_ ? connection_() : nullptr) {
        sd_bus_emit_interfaces_added(bus, portPath(number).c_str(), kPortInterface, nullptr);
        sd_bus_flush(bus);
    }
}

void DeviceObjects::portUnlisted(const SupportedPort& port) {
    const auto found = numberOf_.find(port.identity);
    if (found == numberOf_.end()) return;
    const std::uint64_t number = found->second;
    numberOf_.erase(found);
    ports_.erase(number);
    if (sd_bus* bus = connection_ ? connection_() : nullptr) {
        sd_bus_emit_interfaces_removed(bus, portPath(number).c_str(), kPortInterface, nullptr);
        sd_bus_flush(bus);
    }
}

void DeviceObjects::statusChanged(const DaemonStatus& before, const DaemonStatus& now) {
    std::vector<char*> changed;
    for (const BusField<DaemonStatus>& field : kDaemonFields) {
        const bool differs =
            std::visit([&](auto member) { return before.*member != now.*member; }, field.member);
        if (field.changes && differs) changed.push_back(const_cast<char*>(field.name));
    }
    if (changed.empty()) return;
    changed.push_back(nullptr);
    if (sd_bus* bus = connection_ ? connection_() : nullptr) {
        sd_bus_emit_properties_changed_strv(bus, kNotificationPath, kDaemonInterface,
                                            changed.data());
        sd_bus_flush(bus);
    }
}

DeviceQueriesObserver& DbusDeviceQueries::answerFrom(const DeviceQueries& queries) {
    objects_ = std::make_unique<DeviceObjects>(queries, [this] { return bus_.connection(); });
    // Bound to the connection's life: each new connection gets the objects again.
    bus_.onConnect([this](sd_bus* connection) { objects_->publishOn(connection); });
    return *objects_;
}

}  // namespace kelvorn::linux_backend
