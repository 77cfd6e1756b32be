// The device registry on udev: tty devices backed by hardware are the serial entries; the devices
// present when the watch starts are the first batch, and later arrivals and removals come from the
// udev monitor through the run loop.
#pragma once

#include <systemd/sd-event.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/device_registry.h"
#include "platform/linux/event_loop.h"
#include "platform/linux/serial_devices.h"

struct udev;
struct udev_device;
struct udev_monitor;

namespace kelvorn::linux_backend {

// The serial entries of the ttys present now, as the registry's first batch shows them, each with
// its sysfs path; without watching anything. Empty when udev cannot be used.
std::vector<std::pair<std::string, std::shared_ptr<RegistryEntry>>> presentSerialEntries(
    udev* context = nullptr);

class UdevDeviceRegistry final : public DeviceRegistry {
  public:
    explicit UdevDeviceRegistry(EventLoop& loop);
    ~UdevDeviceRegistry() override;
    UdevDeviceRegistry(const UdevDeviceRegistry&) = delete;
    UdevDeviceRegistry& operator=(const UdevDeviceRegistry&) = delete;

    bool canMatchClass(const std::string& className) override;
    std::shared_ptr<DeviceIterator> addMatchingNotification(const std::string& notificationType,
                                                            const std::string& className,
                                                            Handler handler) override;

  private:
    bool startWatching();
    std::vector<std::shared_ptr<RegistryEntry>> listPresentDevices();
    std::vector<DeviceEvent> receiveReadyEvents();
    void deliverReadyEvents();
    static int onMonitorReadable(sd_event_source* source, int fd, std::uint32_t revents,
                                 void* self);

    EventLoop& loop_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    sd_event_source* monitorSource_ = nullptr;
    SerialDeviceBook book_;
    Handler arrivalHandler_;
    Handler removalHandler_;
};

}  // namespace kelvorn::linux_backend
