#include "platform/linux/linux_platform.h"

#include <utility>

namespace kelvorn::linux_backend {

LinuxServices::LinuxServices(std::string applicationsFolder, std::string usersFolder)
    : bus_(loop_),
      serviceBus_(loop_),
      registry_(loop_),
      console_(bus_),
      consoleChanges_(bus_, console_),
      power_(bus_),
      applications_(console_, std::move(applicationsFolder), std::move(usersFolder)),
      notifications_(serviceBus_),
      queries_(serviceBus_),
      sleeper_(serviceBus_) {}

std::optional<std::string> LinuxServices::takeBusName() {
    return serviceBus_.takeName(kDaemonBusName);
}

Platform LinuxServices::platform() {
    return Platform{registry_,      console_, consoleChanges_, power_,     applications_,
                    notifications_, loop_,    sleeper_,        systemLog_, printer_};
}

}  // namespace kelvorn::linux_backend
