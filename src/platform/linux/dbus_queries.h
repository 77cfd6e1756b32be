// The daemon's answers on the system bus: the interface com.Corvant.Kelvorn.Devices on its object,
// with GetSupportedDevices() -> aa{sv} and GetStatus() -> a{sv}. They are served on the daemon's
// own connection, so they are answered during its waits as introspection is.
#pragma once

#include <systemd/sd-bus.h>

#include <vector>

#include "platform/device_queries.h"
#include "platform/linux/system_bus.h"

namespace kelvorn::linux_backend {

inline constexpr const char* kDevicesInterface = "com.Corvant.Kelvorn.Devices";
inline constexpr const char* kGetSupportedDevices = "GetSupportedDevices";
inline constexpr const char* kGetStatus = "GetStatus";

// One a{sv} per port: "VID", "PID" (x), "Device", "BaseName", "Suffix", "Model" (s).
int appendSupportedPorts(sd_bus_message* message, const std::vector<SupportedPort>& ports);
// "State", "ConsoleUser", "CardList" (s) and "Families" (i).
int appendStatus(sd_bus_message* message, const DaemonStatus& status);

// Publishes the interface on kNotificationPath of `bus`, answering from `queries`, which must
// outlive the connection's object.
int publishDeviceQueries(sd_bus* bus, const DeviceQueries& queries);

class DbusDeviceQueries {
  public:
    explicit DbusDeviceQueries(SystemBus& bus) : bus_(bus) {}
    DbusDeviceQueries(const DbusDeviceQueries&) = delete;
    DbusDeviceQueries& operator=(const DbusDeviceQueries&) = delete;

    // Publishes the interface on the daemon's object, answering from `queries`, on this and every
    // later connection.
    void answerFrom(const DeviceQueries& queries);

  private:
    SystemBus& bus_;
    const DeviceQueries* queries_ = nullptr;
};

}  // namespace kelvorn::linux_backend
