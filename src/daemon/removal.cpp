// Serial devices that disappear: announce the removal of each supported card once, with its ids.
#include <algorithm>

#include "daemon/daemon.h"

namespace kelvorn {

namespace {

constexpr const char* kDeviceRemovedNotification = "Supported device removed";

}  // namespace

void Daemon::mycallbacktermination(DeviceIterator& iterator) {
    while (const auto entry = iterator.next()) {
        unlistSupportedPort(*entry);
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

void Daemon::unlistSupportedPort(const RegistryEntry& entry) {
    auto& ports = state.supportedPorts;
    const std::string identity = entry.identity();
    const auto found = std::find_if(ports.begin(), ports.end(),
                                    [&](const auto& port) { return port.identity == identity; });
    if (found == ports.end()) return;
    const SupportedPort gone = std::move(*found);
    ports.erase(found);
    if (observer_) observer_->portUnlisted(gone);
}

}  // namespace kelvorn
