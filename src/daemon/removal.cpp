// Serial devices that disappear: announce the removal of each supported card once, with its ids.
#include "daemon/daemon.h"

namespace kelvorn {

namespace {

constexpr const char* kDeviceRemovedNotification = "Supported device removed";

}  // namespace

void Daemon::mycallbacktermination(DeviceIterator& iterator) {
    while (const auto entry = iterator.next()) {
        // Another port of a card already announced as gone, or a device that was never announced.
        const auto card = forgetCardOf(entry);
        if (!card) {
            log("DEBUG", 2, "InCompatible device found during termination , hence no posting");
            continue;
        }
        log("USER", 0, "DEVICE TERMINATED");
        const corvant::Dictionary information{
            {"VID", card->vendor}, {"PID", card->product}, {"fromDaemon", "YES"}};
        for (const auto& [key, value] : information) {
            log("USER", 0, "Vid_pid sent when posting notification :key: %@, value: %@", key,
                value);
        }
        const bool posted = platform_.notifications.postNotification(
            kDeviceRemovedNotification, information, kPostToAllSessions);
        log("USER", 0, "Device terminated Distributed Notification posting done");
        systemLog("Device Terminated Notification posting done");
        if (!posted) logPostFailure(kDeviceRemovedNotification);
        state.deviceinserted = !state.announcedCards.empty();
    }
}

}  // namespace kelvorn
