// How a tty device and the kernel devices above it become the registry entries the daemon sees:
// the tty's base name and suffix, the USB ids as numbers, and a parent chain of a fixed shape.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/value.h"
#include "platform/device_registry.h"

namespace kelvorn::linux_backend {

// A tty's kernel name split before its trailing digits: "ttyUSB0" is "ttyUSB" and "0"; a name
// without trailing digits has an empty suffix.
struct TtyName {
    std::string baseName;
    std::string suffix;
    bool operator==(const TtyName&) const = default;
};
TtyName splitTtyName(std::string_view kernelName);

// The number written in a USB id attribute (four hexadecimal digits, "12d1"); none when the text
// is not a 16-bit hexadecimal number.
std::optional<std::int64_t> parseUsbId(std::string_view text);

// One device of the kernel's tree, as sysfs describes it.
struct KernelDevice {
    std::string sysname;    // "ttyUSB0", "1-1:1.0", "1-1"
    std::string subsystem;  // "tty", "usb-serial", "usb", "pci"; empty when it has none
    std::string devtype;    // "usb_interface", "usb_device"; mostly empty
    std::optional<std::string> idVendor;
    std::optional<std::string> idProduct;
    std::string syspath;  // "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1"
    // A USB interface's number, as sysfs writes it: two hexadecimal digits ("00", "0a").
    std::optional<std::string> interfaceNumber;
    // The device node udev names for it ("/dev/ttyUSB0"); empty when it has none.
    std::string devnode = {};
};

// One registry entry as the daemon is shown it.
struct PresentedEntry {
    std::string name;  // the kernel name, or the name of the device it stands in for
    std::string
        kind;  // what the entry is: "tty", "port", "interface", "configuration", "device"...
    corvant::Dictionary properties;
    // Tells the entry from every other one present: the device's sysfs path, with a mark for the
    // layers that stand in for one sysfs does not have.
    std::string identity;
};

// Property names of the entries.
inline constexpr const char* kBaseNameProperty = "IOTTYBaseName";
inline constexpr const char* kSuffixProperty = "IOTTYSuffix";
inline constexpr const char* kTtyDeviceProperty = "IOTTYDevice";
// kDeviceNodeProperty ("IOCalloutDevice"), the tty's device node, is set when udev names one.
inline constexpr const char* kVendorIdProperty = "idVendor";
inline constexpr const char* kProductIdProperty = "idProduct";

// Shapes the chain that starts with a tty (`kernelChain[0]`) and continues with its ancestors,
// nearest first, into the entries the daemon walks. A USB serial port is presented in the layers
// of the USB topology, one entry each:
//
//   tty -> port -> interface -> configuration -> USB device -> (the device's hub, ...)
//
// sysfs collapses some of these layers: it has no node for a configuration, and cdc-acm hangs the
// tty straight on the interface with no port node. Those layers are filled in, and several nodes
// between the tty and the interface are folded into one port, so the fourth ancestor of every USB
// tty is the USB device that owns the port, whether the modem is plugged in directly or behind
// hubs. A tty without a USB interface above it keeps its kernel chain unchanged.
//
// The suffix of a USB tty is the number of its USB interface, in decimal: it names the same port
// of a modem whatever else was plugged in first, which the kernel's numbering does not. Other ttys
// keep the digits of their kernel name.
std::vector<PresentedEntry> presentParentChain(const std::vector<KernelDevice>& kernelChain);

}  // namespace kelvorn::linux_backend
