#include "platform/linux/linux_platform.h"

#include <utility>

namespace kelvorn::linux_backend {

LinuxServices::LinuxServices(std::string applicationsFolder, std::string usersFolder)
    : bus_(loop_),
      registry_(loop_),
      console_(bus_),
      power_(bus_),
      applications_(console_, std::move(applicationsFolder), std::move(usersFolder)),
      notifications_(bus_) {}

Platform LinuxServices::platform() {
    return Platform{registry_, console_, power_,     applications_, notifications_,
                    loop_,     sleeper_, systemLog_, printer_};
}

}  // namespace kelvorn::linux_backend
