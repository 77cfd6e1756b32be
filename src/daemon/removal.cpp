// Serial devices that disappear: announce the removal of the card last found supported.
#include "daemon/daemon.h"

namespace kelvorn {

namespace {

constexpr const char* kDeviceRemovedNotification = "Supported device removed";

}  // namespace

void Daemon::mycallbacktermination(DeviceIterator& iterator) {
    while (iterator.next()) {
        if (!state.deviceinserted) {
            log("DEBUG", 2, "InCompatible device found during termination , hence no posting");
            continue;
        }
        log("USER", 0, "DEVICE TERMINATED");
        const corvant::Dictionary information = userInformation();
        for (const auto& [key, value] : information) {
            log("USER", 0, "Vid_pid sent when posting notification :key: %@, value: %@", key,
                value);
        }
        platform_.notifications.postNotification(kDeviceRemovedNotification, information,
                                                 kPostToAllSessions);
        log("USER", 0, "Device terminated Distributed Notification posting done");
        systemLog("Device Terminated Notification posting done");
        state.deviceinserted = false;
    }
}

}  // namespace kelvorn
