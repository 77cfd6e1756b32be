#include "platform/linux/dbus_queries.h"

#include "platform/linux/dbus_notifications.h"

namespace kelvorn::linux_backend {

namespace {

int appendEntry(sd_bus_message* message, const char* key, const char* type, const auto& value) {
    int result = sd_bus_message_open_container(message, 'e', "sv");
    if (result >= 0) result = sd_bus_message_append(message, "s", key);
    if (result >= 0) result = sd_bus_message_open_container(message, 'v', type);
    if (result >= 0) result = sd_bus_message_append(message, type, value);
    if (result >= 0) result = sd_bus_message_close_container(message);
    return result < 0 ? result : sd_bus_message_close_container(message);
}

int appendPort(sd_bus_message* message, const SupportedPort& port) {
    int result = sd_bus_message_open_container(message, 'a', "{sv}");
    if (result >= 0) result = appendEntry(message, "VID", "x", port.vendorId);
    if (result >= 0) result = appendEntry(message, "PID", "x", port.productId);
    if (result >= 0) result = appendEntry(message, "Device", "s", port.device.c_str());
    if (result >= 0) result = appendEntry(message, "BaseName", "s", port.baseName.c_str());
    if (result >= 0) result = appendEntry(message, "Suffix", "s", port.suffix.c_str());
    if (result >= 0) result = appendEntry(message, "Model", "s", port.model.c_str());
    return result < 0 ? result : sd_bus_message_close_container(message);
}

// Sends the reply that `fill` completes.
int reply(sd_bus_message* call, auto fill) {
    sd_bus_message* answer = nullptr;
    int result = sd_bus_message_new_method_return(call, &answer);
    if (result >= 0) result = fill(answer);
    if (result >= 0) result = sd_bus_send(nullptr, answer, nullptr);
    sd_bus_message_unref(answer);
    return result;
}

int onGetSupportedDevices(sd_bus_message* call, void* queries, sd_bus_error*) {
    const auto& ports = static_cast<const DeviceQueries*>(queries)->supportedPorts();
    return reply(call, [&](sd_bus_message* answer) { return appendSupportedPorts(answer, ports); });
}

int onGetStatus(sd_bus_message* call, void* queries, sd_bus_error*) {
    const DaemonStatus status = static_cast<const DeviceQueries*>(queries)->status();
    return reply(call, [&](sd_bus_message* answer) { return appendStatus(answer, status); });
}

// sd-bus answers only callers of the daemon's own user unless a method is marked unprivileged;
// these are for every user, as the bus policy says.
const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES(kGetSupportedDevices, "", SD_BUS_PARAM(), "aa{sv}",
                             SD_BUS_PARAM(devices), onGetSupportedDevices,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(kGetStatus, "", SD_BUS_PARAM(), "a{sv}", SD_BUS_PARAM(status),
                             onGetStatus, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

int appendSupportedPorts(sd_bus_message* message, const std::vector<SupportedPort>& ports) {
    int result = sd_bus_message_open_container(message, 'a', "a{sv}");
    for (auto port = ports.begin(); result >= 0 && port != ports.end(); ++port) {
        result = appendPort(message, *port);
    }
    return result < 0 ? result : sd_bus_message_close_container(message);
}

int appendStatus(sd_bus_message* message, const DaemonStatus& status) {
    int result = sd_bus_message_open_container(message, 'a', "{sv}");
    if (result >= 0) result = appendEntry(message, "State", "s", status.state.c_str());
    if (result >= 0) result = appendEntry(message, "ConsoleUser", "s", status.consoleUser.c_str());
    if (result >= 0) result = appendEntry(message, "CardList", "s", status.cardList.c_str());
    if (result >= 0) result = appendEntry(message, "Families", "i", status.families);
    return result < 0 ? result : sd_bus_message_close_container(message);
}

int publishDeviceQueries(sd_bus* bus, const DeviceQueries& queries) {
    return sd_bus_add_object_vtable(bus, nullptr, kNotificationPath, kDevicesInterface, kVtable,
                                    const_cast<DeviceQueries*>(&queries));
}

void DbusDeviceQueries::answerFrom(const DeviceQueries& queries) {
    queries_ = &queries;
    // Bound to the connection's life: each new connection gets the interface again.
    bus_.onConnect([this](sd_bus* connection) { publishDeviceQueries(connection, *queries_); });
}

}  // namespace kelvorn::linux_backend
