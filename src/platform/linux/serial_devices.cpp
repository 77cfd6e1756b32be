#include "platform/linux/serial_devices.h"

#include <utility>

namespace kelvorn::linux_backend {

SnapshotEntry::SnapshotEntry(PresentedEntry entry, std::shared_ptr<SnapshotEntry> parent)
    : entry_(std::move(entry)), parent_(std::move(parent)) {}

corvant::Value SnapshotEntry::property(const std::string& name) const {
    return corvant::lookup(entry_.properties, name);
}

std::shared_ptr<SnapshotEntry> linkEntries(const std::vector<PresentedEntry>& chain) {
    std::shared_ptr<SnapshotEntry> entry;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        entry = std::make_shared<SnapshotEntry>(*it, std::move(entry));
    }
    return entry;
}

BatchIterator::BatchIterator(std::vector<std::shared_ptr<RegistryEntry>> entries)
    : entries_(std::move(entries)) {}

std::shared_ptr<RegistryEntry> BatchIterator::next() {
    if (position_ >= entries_.size()) return nullptr;
    return entries_[position_++];
}

bool SerialDeviceBook::recordPresent(const std::string& syspath,
                                     std::shared_ptr<RegistryEntry> entry) {
    return present_.emplace(syspath, std::move(entry)).second;
}

std::shared_ptr<RegistryEntry> SerialDeviceBook::take(const DeviceEvent& event) {
    if (event.action == DeviceAction::Arrival) {
        if (!event.entry || !present_.emplace(event.syspath, event.entry).second) return nullptr;
        return event.entry;
    }
    auto found = present_.find(event.syspath);
    if (found == present_.end()) return nullptr;
    auto entry = std::move(found->second);
    present_.erase(found);
    return entry;
}

std::vector<DeviceBatch> SerialDeviceBook::sortEvents(const std::vector<DeviceEvent>& events) {
    std::vector<DeviceBatch> batches;
    for (const DeviceEvent& event : events) {
        auto entry = take(event);
        if (!entry) continue;
        if (batches.empty() || batches.back().action != event.action) {
            batches.push_back({event.action, {}});
        }
        batches.back().entries.push_back(std::move(entry));
    }
    return batches;
}

}  // namespace kelvorn::linux_backend
