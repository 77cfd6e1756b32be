// The device registry: serial-device entries, their properties and parents, and notifications of
// entries that appear ("IOServiceFirstMatch") or disappear ("IOServiceTerminate").
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/value.h"

namespace kelvorn {

class RegistryEntry {
  public:
    virtual ~RegistryEntry() = default;
    // A property of the entry ("IOTTYBaseName", "IOTTYSuffix", "idVendor", "idProduct", and
    // kDeviceNodeProperty on a serial entry); absent when the entry does not have it.
    virtual corvant::Value property(const std::string& name) const = 0;
    // The entry's parent in the "IOService" plane; null above the top of the tree.
    virtual std::shared_ptr<RegistryEntry> parent() const = 0;
    // What tells this entry from every other entry present at the same time; the same for as long
    // as the entry exists, also on a removal's copy of it.
    virtual std::string identity() const = 0;
};

// One batch of entries. The handler drains it; draining is what arms the registration again.
class DeviceIterator {
  public:
    virtual ~DeviceIterator() = default;
    // The next entry of the batch; null once the batch is drained.
    virtual std::shared_ptr<RegistryEntry> next() = 0;
};

// The device node a client opens for a serial entry ("/dev/ttyUSB2"), a string.
inline constexpr const char* kDeviceNodeProperty = "IOCalloutDevice";

inline constexpr const char* kSerialDeviceClass = "IOSerialBSDClient";
inline constexpr const char* kFirstMatchNotification = "IOServiceFirstMatch";
inline constexpr const char* kTerminateNotification = "IOServiceTerminate";

class DeviceRegistry {
  public:
    using Handler = std::function<void(DeviceIterator&)>;

    virtual ~DeviceRegistry() = default;
    // Whether a matching description for entries of `className` can be built.
    virtual bool canMatchClass(const std::string& className) = 0;
    // Registers `handler` for `notificationType` on entries of `className`. The returned iterator
    // holds the batch already due: for first-match, every entry present now; for terminate, none.
    // Later batches reach `handler` from the run loop, one at a time.
    virtual std::shared_ptr<DeviceIterator> addMatchingNotification(
        const std::string& notificationType, const std::string& className, Handler handler) = 0;
};

}  // namespace kelvorn
