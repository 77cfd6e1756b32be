// The serial devices the registry knows, kept as snapshots, and how the device events that are
// ready together become batches of arrivals and removals.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_registry.h"
#include "platform/linux/device_topology.h"

namespace kelvorn::linux_backend {

// A registry entry taken when its device arrived: its properties and parents stay readable after
// the device is gone, which is when removal handlers receive it.
class SnapshotEntry final : public RegistryEntry {
  public:
    SnapshotEntry(PresentedEntry entry, std::shared_ptr<SnapshotEntry> parent);

    corvant::Value property(const std::string& name) const override;
    std::shared_ptr<RegistryEntry> parent() const override { return parent_; }
    std::string identity() const override { return entry_.identity; }

    const std::string& name() const { return entry_.name; }
    const std::string& kind() const { return entry_.kind; }

  private:
    PresentedEntry entry_;
    std::shared_ptr<SnapshotEntry> parent_;
};

// Links the presented chain (the tty first) into entries and returns the tty's entry.
std::shared_ptr<SnapshotEntry> linkEntries(const std::vector<PresentedEntry>& chain);

// One batch, drained entry by entry.
class BatchIterator final : public DeviceIterator {
  public:
    explicit BatchIterator(std::vector<std::shared_ptr<RegistryEntry>> entries = {});
    std::shared_ptr<RegistryEntry> next() override;

  private:
    std::vector<std::shared_ptr<RegistryEntry>> entries_;
    std::size_t position_ = 0;
};

enum class DeviceAction { Arrival, Removal };

struct DeviceEvent {
    DeviceAction action;
    std::string syspath;
    // For an arrival: the device's entry, or null when the tty is not a serial device (it has no
    // parent device: a virtual console or a pseudo-terminal).
    std::shared_ptr<RegistryEntry> entry;
};

struct DeviceBatch {
    DeviceAction action;
    std::vector<std::shared_ptr<RegistryEntry>> entries;
};

class SerialDeviceBook {
  public:
    // Records a device found present at start; false when it is known already.
    bool recordPresent(const std::string& syspath, std::shared_ptr<RegistryEntry> entry);

    // Turns the events that were ready together into batches, keeping their order: each run of
    // arrivals is one batch, each run of removals another. An arrival of a device that is known
    // already (the watch starts before the devices present are listed, so both may report it) and
    // a removal of a device that never arrived as a serial device are dropped.
    std::vector<DeviceBatch> sortEvents(const std::vector<DeviceEvent>& events);

    std::size_t size() const { return present_.size(); }

  private:
    std::shared_ptr<RegistryEntry> take(const DeviceEvent& event);

    std::map<std::string, std::shared_ptr<RegistryEntry>> present_;
};

}  // namespace kelvorn::linux_backend
