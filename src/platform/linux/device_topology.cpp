#include "platform/linux/device_topology.h"

#include <cctype>

namespace kelvorn::linux_backend {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isUsbInterface(const KernelDevice& device) {
    return device.subsystem == "usb" && device.devtype == "usb_interface";
}

bool isUsbDevice(const KernelDevice& device) {
    return device.subsystem == "usb" && device.devtype == "usb_device";
}

std::string kindOf(const KernelDevice& device) {
    if (!device.devtype.empty()) return device.devtype;
    if (!device.subsystem.empty()) return device.subsystem;
    return "device";
}

void addUsbId(corvant::Dictionary& properties, const char* name,
              const std::optional<std::string>& text) {
    if (!text) return;
    if (auto number = parseUsbId(*text)) properties[name] = *number;
}

PresentedEntry presentKernelDevice(const KernelDevice& device, std::string kind) {
    PresentedEntry entry{device.sysname, std::move(kind), {}, device.syspath};
    addUsbId(entry.properties, kVendorIdProperty, device.idVendor);
    addUsbId(entry.properties, kProductIdProperty, device.idProduct);
    return entry;
}

// The suffix of a tty on USB interface `interface`: its number in decimal ("0a" gives "10"); the
// kernel's digits when the number cannot be read.
std::string usbPortSuffix(const KernelDevice& interface, const std::string& kernelSuffix) {
    if (!interface.interfaceNumber) return kernelSuffix;
    if (auto number = parseUsbId(*interface.interfaceNumber); number && *number <= 0xff) {
        return std::to_string(*number);
    }
    return kernelSuffix;
}

PresentedEntry presentTty(const KernelDevice& tty, const KernelDevice* usbInterface) {
    TtyName name = splitTtyName(tty.sysname);
    PresentedEntry entry{tty.sysname, "tty", {}, tty.syspath};
    entry.properties[kBaseNameProperty] = name.baseName;
    entry.properties[kSuffixProperty] =
        usbInterface ? usbPortSuffix(*usbInterface, name.suffix) : name.suffix;
    entry.properties[kTtyDeviceProperty] = tty.sysname;
    if (!tty.devnode.empty()) entry.properties[kDeviceNodeProperty] = tty.devnode;
    return entry;
}

// Index of the USB interface that carries the tty, when its parent is the USB device; 0 when the
// tty is not on USB.
std::size_t findUsbInterface(const std::vector<KernelDevice>& chain) {
    for (std::size_t i = 1; i + 1 < chain.size(); ++i) {
        if (isUsbInterface(chain[i])) return isUsbDevice(chain[i + 1]) ? i : 0;
    }
    return 0;
}

void appendKernelDevices(std::vector<PresentedEntry>& entries,
                         const std::vector<KernelDevice>& chain, std::size_t from) {
    for (std::size_t i = from; i < chain.size(); ++i) {
        entries.push_back(presentKernelDevice(chain[i], kindOf(chain[i])));
    }
}

}  // namespace

TtyName splitTtyName(std::string_view kernelName) {
    std::size_t end = kernelName.size();
    while (end > 0 && isDigit(kernelName[end - 1])) --end;
    return {std::string(kernelName.substr(0, end)), std::string(kernelName.substr(end))};
}

std::optional<std::int64_t> parseUsbId(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() > 4) return std::nullopt;
    std::int64_t number = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        int digit = isDigit(c) ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        number = number * 16 + digit;
    }
    return number;
}

std::vector<PresentedEntry> presentParentChain(const std::vector<KernelDevice>& kernelChain) {
    std::vector<PresentedEntry> entries;
    if (kernelChain.empty()) return entries;
    std::size_t interface = findUsbInterface(kernelChain);
    if (interface == 0) {
        entries.push_back(presentTty(kernelChain[0], nullptr));
        appendKernelDevices(entries, kernelChain, 1);
        return entries;
    }
    entries.push_back(presentTty(kernelChain[0], &kernelChain[interface]));
    // The port: the node the driver put between tty and interface (usb-serial), or a stand-in
    // named after the tty when the tty hangs on the interface itself (cdc-acm).
    if (interface > 1) {
        entries.push_back(presentKernelDevice(kernelChain[1], "port"));
    } else {
        entries.push_back({kernelChain[0].sysname, "port", {}, kernelChain[0].syspath + "#port"});
    }
    entries.push_back(presentKernelDevice(kernelChain[interface], "usb_interface"));
    // The active configuration of the device, which owns the interface.
    const KernelDevice& device = kernelChain[interface + 1];
    entries.push_back({device.sysname, "usb_configuration", {}, device.syspath + "#configuration"});
    appendKernelDevices(entries, kernelChain, interface + 1);
    return entries;
}

}  // namespace kelvorn::linux_backend
