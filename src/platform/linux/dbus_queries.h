// The daemon's answers on the system bus, on its object /com/Corvant/Kelvorn:
//  - com.Corvant.Kelvorn.Devices, with GetSupportedDevices() -> aa{sv} and GetStatus() -> a{sv};
//  - com.Corvant.Kelvorn.Daemon, its status as properties that announce their changes;
//  - org.freedesktop.DBus.ObjectManager over an object per supported port present,
//    /com/Corvant/Kelvorn/Port/<n>, with the interface com.Corvant.Kelvorn.Port.
// They are served on the daemon's own connection, so they are answered during its waits as
// introspection is.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_queries.h"
#include "platform/linux/system_bus.h"

namespace kelvorn::linux_backend {

inline constexpr const char* kDevicesInterface = "com.Corvant.Kelvorn.Devices";
inline constexpr const char* kGetSupportedDevices = "GetSupportedDevices";
inline constexpr const char* kGetStatus = "GetStatus";
inline constexpr const char* kDaemonInterface = "com.Corvant.Kelvorn.Daemon";
inline constexpr const char* kPortInterface = "com.Corvant.Kelvorn.Port";
inline constexpr const char* kPortPathPrefix = "/com/Corvant/Kelvorn/Port";
// The daemon's own errors; kFailedError when an answer could not be built.
inline constexpr const char* kFailedError = "com.Corvant.Kelvorn.Error.Failed";

// GetSupportedDevices' answer: an a{sv} per port, of the rows kGetSupportedDevicesFields names
// (bus_fields.h).
int appendSupportedPorts(sd_bus_message* message, const std::vector<SupportedPort>& ports);
// GetStatus' answer: an a{sv} of the rows kGetStatusFields names.
int appendStatus(sd_bus_message* message, const DaemonStatus& status);

// The objects and interfaces above, answering from `queries`; as an observer of the queries it
// keeps an object per port listed and announces what comes, goes and changes.
class DeviceObjects final : public DeviceQueriesObserver {
  public:
    // `connection` gives the connection the announcements go out on; null while there is none.
    DeviceObjects(const DeviceQueries& queries, std::function<sd_bus*()> connection);
    DeviceObjects(const DeviceObjects&) = delete;
    DeviceObjects& operator=(const DeviceObjects&) = delete;

    // Serves everything on `bus`, for the connection's life. Negative errno on failure.
    int publishOn(sd_bus* bus);

    void portListed(const SupportedPort& port) override;
    void portUnlisted(const SupportedPort& port) override;
    void statusChanged(const DaemonStatus& before, const DaemonStatus& now) override;

    const DeviceQueries& queries() const { return queries_; }
    // The port behind an object path; null when no port present has it.
    const SupportedPort* portAt(const char* path) const;
    // The paths of the ports present, in the order of their numbers.
    std::vector<std::string> portPaths() const;

  private:
    const DeviceQueries& queries_;
    std::function<sd_bus*()> connection_;
    // By object number; a number is never given twice while the daemon runs.
    std::map<std::uint64_t, SupportedPort> ports_;
    std::map<std::string, std::uint64_t> numberOf_;
    std::uint64_t lastNumber_ = 0;
};

class DbusDeviceQueries {
  public:
    explicit DbusDeviceQueries(SystemBus& bus) : bus_(bus) {}
    DbusDeviceQueries(const DbusDeviceQueries&) = delete;
    DbusDeviceQueries& operator=(const DbusDeviceQueries&) = delete;

    // Publishes the daemon's interfaces and objects, answering from `queries`, on this and every
    // later connection; returns the observer that announces their changes.
    DeviceQueriesObserver& answerFrom(const DeviceQueries& queries);

  private:
    SystemBus& bus_;
    std::unique_ptr<DeviceObjects> objects_;
};

}  // namespace kelvorn::linux_backend
