#include "platform/linux/udev_registry.h"

#include <libudev.h>

#include <cstring>
#include <utility>

namespace kelvorn::linux_backend {

namespace {

// Room for the events that pile up while a handler waits (the login wait, delays, commands).
constexpr int kMonitorBufferBytes = 8 * 1024 * 1024;

std::string textOr(const char* text) {
    return text != nullptr ? text : "";
}

std::optional<std::string> attribute(udev_device* device, const char* name) {
    const char* value = udev_device_get_sysattr_value(device, name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

KernelDevice describe(udev_device* device) {
    KernelDevice kernel;
    kernel.sysname = textOr(udev_device_get_sysname(device));
    kernel.subsystem = textOr(udev_device_get_subsystem(device));
    kernel.devtype = textOr(udev_device_get_devtype(device));
    kernel.syspath = textOr(udev_device_get_syspath(device));
    kernel.devnode = textOr(udev_device_get_devnode(device));
    if (kernel.subsystem == "usb" && kernel.devtype == "usb_device") {
        kernel.idVendor = attribute(device, "idVendor");
        kernel.idProduct = attribute(device, "idProduct");
    }
    if (kernel.subsystem == "usb" && kernel.devtype == "usb_interface") {
        kernel.interfaceNumber = attribute(device, "bInterfaceNumber");
    }
    return kernel;
}

// The tty and its ancestors, nearest first. The parents belong to `tty` and need no release.
std::vector<KernelDevice> kernelChainOf(udev_device* tty) {
    std::vector<KernelDevice> chain;
    for (udev_device* device = tty; device != nullptr; device = udev_device_get_parent(device)) {
        chain.push_back(describe(device));
    }
    return chain;
}

std::optional<DeviceAction> actionOf(udev_device* device) {
    const char* action = udev_device_get_action(device);
    if (action == nullptr) return std::nullopt;
    if (std::strcmp(action, "add") == 0) return DeviceAction::Arrival;
    if (std::strcmp(action, "remove") == 0) return DeviceAction::Removal;
    return std::nullopt;
}

std::shared_ptr<RegistryEntry> entryFor(udev_device* device) {
    // A tty without a parent device is a virtual console or a pseudo-terminal.
    if (udev_device_get_parent(device) == nullptr) return nullptr;
    return linkEntries(presentParentChain(kernelChainOf(device)));
}

}  // namespace

UdevDeviceRegistry::UdevDeviceRegistry(EventLoop& loop) : loop_(loop), udev_(udev_new()) {}

UdevDeviceRegistry::~UdevDeviceRegistry() {
    sd_event_source_disable_unref(monitorSource_);
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
}

bool UdevDeviceRegistry::canMatchClass(const std::string& className) {
    return udev_ != nullptr && className == kSerialDeviceClass;
}

std::shared_ptr<DeviceIterator> UdevDeviceRegistry::addMatchingNotification(
    const std::string& notificationType, const std::string& className, Handler handler) {
    if (!canMatchClass(className)) return std::make_shared<BatchIterator>();
    // The watch starts before the present devices are listed, so a device that arrives in
    // between is not missed; the book drops the second report of one seen both ways.
    bool watching = startWatching();
    if (notificationType == kTerminateNotification) {
        if (watching) removalHandler_ = std::move(handler);
        return std::make_shared<BatchIterator>();
    }
    if (notificationType != kFirstMatchNotification) return std::make_shared<BatchIterator>();
    if (watching) arrivalHandler_ = std::move(handler);
    return std::make_shared<BatchIterator>(listPresentDevices());
}

bool UdevDeviceRegistry::startWatching() {
    if (monitorSource_ != nullptr) return true;
    if (loop_.event() == nullptr) return false;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ == nullptr) return false;
    udev_monitor_set_receive_buffer_size(monitor_, kMonitorBufferBytes);
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0 ||
        sd_event_add_io(loop_.event(), &monitorSource_, udev_monitor_get_fd(monitor_), EPOLLIN,
                        &UdevDeviceRegistry::onMonitorReadable, this) < 0) {
        monitor_ = udev_monitor_unref(monitor_);
        monitorSource_ = nullptr;
        return false;
    }
    return true;
}

std::vector<std::pair<std::string, std::shared_ptr<RegistryEntry>>> presentSerialEntries(
    udev* context) {
    std::vector<std::pair<std::string, std::shared_ptr<RegistryEntry>>> entries;
    udev* own = context == nullptr ? udev_new() : nullptr;
    udev_enumerate* enumerate = udev_enumerate_new(context != nullptr ? context : own);
    if (enumerate != nullptr) {
        udev_enumerate_add_match_subsystem(enumerate, "tty");
        udev_enumerate_scan_devices(enumerate);
        udev_list_entry* item;
        udev_list_entry_foreach(item, udev_enumerate_get_list_entry(enumerate)) {
            const char* syspath = udev_list_entry_get_name(item);
            udev_device* device =
                udev_device_new_from_syspath(udev_enumerate_get_udev(enumerate), syspath);
            if (device == nullptr) continue;
            if (auto entry = entryFor(device)) entries.emplace_back(syspath, std::move(entry));
            udev_device_unref(device);
        }
        udev_enumerate_unref(enumerate);
    }
    udev_unref(own);
    return entries;
}

std::vector<std::shared_ptr<RegistryEntry>> UdevDeviceRegistry::listPresentDevices() {
    std::vector<std::shared_ptr<RegistryEntry>> entries;
    for (auto& [syspath, entry] : presentSerialEntries(udev_)) {
        if (book_.recordPresent(syspath, entry)) entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<DeviceEvent> UdevDeviceRegistry::receiveReadyEvents() {
    std::vector<DeviceEvent> events;
    // The monitor's socket does not block: receiving stops once the ready events are read.
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        auto action = actionOf(device);
        const char* syspath = udev_device_get_syspath(device);
        if (action && syspath != nullptr) {
            auto entry = *action == DeviceAction::Arrival ? entryFor(device) : nullptr;
            events.push_back({*action, syspath, std::move(entry)});
        }
        udev_device_unref(device);
    }
    return events;
}

void UdevDeviceRegistry::deliverReadyEvents() {
    for (DeviceBatch& batch : book_.sortEvents(receiveReadyEvents())) {
        Handler& handler =
            batch.action == DeviceAction::Arrival ? arrivalHandler_ : removalHandler_;
        if (!handler) continue;
        BatchIterator iterator(std::move(batch.entries));
        handler(iterator);
    }
}

int UdevDeviceRegistry::onMonitorReadable(sd_event_source*, int, std::uint32_t, void* self) {
    static_cast<UdevDeviceRegistry*>(self)->deliverReadyEvents();
    return 0;
}

}  // namespace kelvorn::linux_backend
