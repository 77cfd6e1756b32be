// Start-up's second half: the console user, the card list, and the serial-device watch.
#include <utility>

#include "daemon/daemon.h"

namespace kelvorn {

namespace {

// Stands for the batch of a registration that could not be made: it holds no entries.
class EmptyBatch : public DeviceIterator {
  public:
    std::shared_ptr<RegistryEntry> next() override { return nullptr; }
};

}  // namespace

std::optional<corvant::Dictionary> Daemon::locateCardList() {
    auto located = locator_.locate(state.CurrentUser);
    if (!located) return std::nullopt;
    state.MDCardListPath = located->path;
    state.families = static_cast<int>(located->cardList.size());
    return std::move(located->cardList);
}

bool Daemon::AddMBCardNotification() {
    checkIfUserHasLoggedIn();
    // Located here for its path and count; each arrival batch reads the list again.
    if (!locateCardList()) {
        log("DEBUG", 2, "MDCardList File Absent . Hence Quitting Card Detection");
        return false;
    }

    DeviceRegistry& registry = platform_.registry;
    const bool canMatch = registry.canMatchClass(kSerialDeviceClass);
    if (!canMatch) log("DEBUG", 2, "Matching dictionary returned was nill");
    state.runloopsource = &registry;
    if (canMatch) {
        arrivalIterator_ = registry.addMatchingNotification(
            kFirstMatchNotification, kSerialDeviceClass,
            [this](DeviceIterator& batch) { mycallbacknotifaction(batch); });
        removalIterator_ = registry.addMatchingNotification(
            kTerminateNotification, kSerialDeviceClass,
            [this](DeviceIterator& batch) { mycallbacktermination(batch); });
    }
    if (!arrivalIterator_) arrivalIterator_ = std::make_shared<EmptyBatch>();
    if (!removalIterator_) removalIterator_ = std::make_shared<EmptyBatch>();

    state.activity = kWatching;
    publishStatus();
    // Handles the devices already present; draining both batches arms the registrations.
    mycallbacknotifaction(*arrivalIterator_);
    mycallbacktermination(*removalIterator_);
    return true;
}

}  // namespace kelvorn
