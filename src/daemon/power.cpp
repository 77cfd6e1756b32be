// The display's power messages: a power-off is the daemon's only sign that the system sleeps.
#include "daemon/daemon.h"

namespace kelvorn {

void Daemon::AddSleepNotification() {
    platform_.power.addInterestNotification(
        [this](std::uint32_t messageType) { displayPowerNotificationsCallback(messageType); });
}

void Daemon::displayPowerNotificationsCallback(std::uint32_t messageType) {
    systemLog("messageType: %u", messageType);
    if (messageType == kMessageDeviceHasPoweredOn) {
        log("DEBUG", 2, "System did power on notification received");
    } else if (messageType == kMessageDeviceWillPowerOff) {
        state.didSystemGoToSleep = true;
        log("DEBUG", 2, "System did power off notification received");
    }
}

}  // namespace kelvorn
