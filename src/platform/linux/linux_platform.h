// The Linux services the daemon runs on, built together and handed out as one Platform.
#pragma once

#include "platform/linux/bundle_finder.h"
#include "platform/linux/dbus_notifications.h"
#include "platform/linux/dbus_queries.h"
#include "platform/linux/event_loop.h"
#include "platform/linux/logind.h"
#include "platform/linux/system_bus.h"
#include "platform/linux/system_services.h"
#include "platform/linux/udev_registry.h"
#include "platform/platform.h"

namespace kelvorn::linux_backend {

class LinuxServices {
  public:
    explicit LinuxServices(std::string applicationsFolder = "/Applications",
                           std::string usersFolder = "/Users");
    LinuxServices(const LinuxServices&) = delete;
    LinuxServices& operator=(const LinuxServices&) = delete;

    Platform platform();
    EventLoop& loop() { return loop_; }

    // Takes the daemon's well-known name on the system bus; why not, when the bus refuses it.
    std::optional<std::string> takeBusName();

    // Answers on the daemon's objects from `queries`; returns who announces their changes.
    DeviceQueriesObserver& answerQueries(const DeviceQueries& queries) {
        return queries_.answerFrom(queries);
    }

  private:
    EventLoop loop_;
    // logind's questions and signals.
    SystemBus bus_;
    // The daemon's name, object and notifications; served during the daemon's waits.
    SystemBus serviceBus_;
    UdevDeviceRegistry registry_;
    LogindConsoleUser console_;
    LogindConsoleChanges consoleChanges_;
    LogindPowerEvents power_;
    BundleFinder applications_;
    DbusNotificationCenter notifications_;
    DbusDeviceQueries queries_;
    BusServingSleeper sleeper_;
    Syslog systemLog_;
    StderrValuePrinter printer_;
};

}  // namespace kelvorn::linux_backend
