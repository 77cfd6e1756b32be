#include "platform/linux/device_topology.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvorn::linux_backend {
namespace {

TEST(SplitTtyName, SplitsBeforeTrailingDigits) {
    struct Case {
        const char* kernelName;
        TtyName expected;
    };
    const Case cases[] = {
        {"ttyUSB0", {"ttyUSB", "0"}}, {"ttyACM12", {"ttyACM", "12"}},
        {"ttyS", {"ttyS", ""}},       {"rfcomm0", {"rfcomm", "0"}},
        {"tty1a2", {"tty1a", "2"}},   {"ttyAMA007", {"ttyAMA", "007"}},
        {"123", {"", "123"}},         {"", {"", ""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(splitTtyName(c.kernelName), c.expected) << c.kernelName;
    }
}

TEST(ParseUsbId, ReadsFourHexDigitsAndRejectsTheRest) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> expected;
    };
    const Case cases[] = {
        {"12d1", 0x12d1},       {"12D1", 0x12d1},       {"0000", 0},
        {"ffff", 0xffff},       {"1d6b\n", 0x1d6b},     {"5", 5},
        {"", std::nullopt},     {"\n", std::nullopt},   {"12345", std::nullopt},
        {"0x12", std::nullopt}, {"12g1", std::nullopt}, {" 12d1", std::nullopt},
        {"-1", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseUsbId(c.text), c.expected) << '"' << c.text << '"';
    }
}

KernelDevice other(const char* name, const char* subsystem) {
    KernelDevice device;
    device.sysname = name;
    device.subsystem = subsystem;
    device.syspath = std::string("/sys/") + name;
    return device;
}
KernelDevice tty(const char* name) {
    return other(name, "tty");
}
KernelDevice usbSerialPort(const char* name) {
    return other(name, "usb-serial");
}
KernelDevice interface(const char* name, std::optional<std::string> number = std::nullopt) {
    KernelDevice device = other(name, "usb");
    device.devtype = "usb_interface";
    device.interfaceNumber = std::move(number);
    return device;
}
KernelDevice usbDevice(const char* name, std::optional<std::string> vendor,
                       std::optional<std::string> product) {
    KernelDevice device = other(name, "usb");
    device.devtype = "usb_device";
    device.idVendor = std::move(vendor);
    device.idProduct = std::move(product);
    return device;
}
KernelDevice pciController() {
    return other("0000:00:14.0", "pci");
}

const KernelDevice kRootHub = usbDevice("usb1", "1d6b", "0002");
const KernelDevice kHub = usbDevice("1-1", "05e3", "0608");

std::vector<std::string> kindsOf(const std::vector<PresentedEntry>& chain) {
    std::vector<std::string> kinds;
    for (const auto& entry : chain) kinds.push_back(entry.kind);
    return kinds;
}

// The daemon reads the ids on the fourth ancestor first: for a USB modem it must be the modem's
// own device, never a hub, however the modem's tty is attached.
TEST(PresentParentChain, FourthAncestorOfAUsbTtyIsTheModemsDevice) {
    struct Case {
        const char* topology;
        std::vector<KernelDevice> kernelChain;
        std::int64_t vendor;
        std::int64_t product;
    };
    const Case cases[] = {
        {"ttyUSB, direct",
         {tty("ttyUSB0"), usbSerialPort("ttyUSB0"), interface("1-2:1.0"),
          usbDevice("1-2", "12d1", "1506"), kRootHub, pciController()},
         0x12d1,
         0x1506},
        {"ttyUSB, behind a hub",
         {tty("ttyUSB3"), usbSerialPort("ttyUSB3"), interface("1-1.4:1.3"),
          usbDevice("1-1.4", "12d1", "1506"), kHub, kRootHub, pciController()},
         0x12d1,
         0x1506},
        {"ttyACM, direct",
         {tty("ttyACM0"), interface("1-2:1.0"), usbDevice("1-2", "1199", "68a3"), kRootHub,
          pciController()},
         0x1199,
         0x68a3},
        {"ttyACM, behind two hubs",
         {tty("ttyACM1"), interface("1-1.3.1:1.0"), usbDevice("1-1.3.1", "1199", "68a3"),
          usbDevice("1-1.3", "05e3", "0610"), kHub, kRootHub, pciController()},
         0x1199,
         0x68a3},
    };
    for (const Case& c : cases) {
        auto chain = presentParentChain(c.kernelChain);
        ASSERT_GE(chain.size(), 5u) << c.topology;
        EXPECT_EQ(kindsOf({chain.begin(), chain.begin() + 5}),
                  (std::vector<std::string>{"tty", "port", "usb_interface", "usb_configuration",
                                            "usb_device"}))
            << c.topology;
        const auto& fourth = chain[4].properties;
        EXPECT_EQ(corvant::lookup(fourth, kVendorIdProperty), corvant::Value(c.vendor))
            << c.topology;
        EXPECT_EQ(corvant::lookup(fourth, kProductIdProperty), corvant::Value(c.product))
            << c.topology;
        // Nothing below the modem's device carries ids, so a walk from the tty meets it first.
        for (int level = 0; level < 4; ++level) {
            EXPECT_TRUE(corvant::lookup(chain[level].properties, kProductIdProperty).isAbsent())
                << c.topology << " level " << level;
        }
    }
}

TEST(PresentParentChain, KeepsEverythingAboveTheModemInOrder) {
    auto chain =
        presentParentChain({tty("ttyUSB0"), usbSerialPort("ttyUSB0"), interface("1-1.4:1.0"),
                            usbDevice("1-1.4", "12d1", "1506"), kHub, kRootHub, pciController()});
    std::vector<std::string> names;
    for (const auto& entry : chain) names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::string>{"ttyUSB0", "ttyUSB0", "1-1.4:1.0", "1-1.4", "1-1.4",
                                               "1-1", "usb1", "0000:00:14.0"}));
    EXPECT_EQ(corvant::lookup(chain[5].properties, kVendorIdProperty), corvant::Value(0x05e3));
    EXPECT_EQ(kindsOf({chain.begin() + 5, chain.end()}),
              (std::vector<std::string>{"usb_device", "usb_device", "pci"}));
}

TEST(PresentParentChain, FoldsSeveralNodesBetweenTtyAndInterfaceIntoOnePort) {
    auto chain =
        presentParentChain({tty("ttyXY0"), other("port0", "xy"), other("bridge", "xy"),
                            interface("1-2:1.0"), usbDevice("1-2", "abcd", "0001"), kRootHub});
    ASSERT_GE(chain.size(), 5u);
    EXPECT_EQ(chain[1].name, "port0");
    EXPECT_EQ(corvant::lookup(chain[4].properties, kVendorIdProperty), corvant::Value(0xabcd));
}

// A USB port is named by its interface, whatever number the kernel gave its tty.
TEST(PresentParentChain, TtyEntryCarriesNameAndSuffix) {
    struct Case {
        std::vector<KernelDevice> kernelChain;
        const char* baseName;
        const char* suffix;
    };
    const Case cases[] = {
        {{tty("ttyUSB3"), usbSerialPort("ttyUSB3"), interface("1-2:1.2", "02"),
          usbDevice("1-2", "12d1", "1506")},
         "ttyUSB",
         "2"},
        {{tty("ttyACM7"), interface("1-2:1.12", "0c"), usbDevice("1-2", "1199", "68a3")},
         "ttyACM",
         "12"},
        {{tty("ttyACM7"), interface("1-2:1.0"), usbDevice("1-2", "1199", "68a3")}, "ttyACM", "7"},
        {{tty("ttyUSB1"), interface("1-2:1.0", "zz"), usbDevice("1-2", "12d1", "1506")},
         "ttyUSB",
         "1"},
        {{tty("ttyS4"), pciController()}, "ttyS", "4"},
    };
    for (const Case& c : cases) {
        const auto chain = presentParentChain(c.kernelChain);
        const auto& properties = chain.front().properties;
        const std::string name = c.kernelChain.front().sysname;
        EXPECT_EQ(corvant::lookup(properties, kBaseNameProperty), corvant::Value(c.baseName));
        EXPECT_EQ(corvant::lookup(properties, kSuffixProperty), corvant::Value(c.suffix)) << name;
        EXPECT_EQ(corvant::lookup(properties, kTtyDeviceProperty), corvant::Value(name));
    }
}

// The removal of a port finds its card again by the identity of the entry that holds the ids.
TEST(PresentParentChain, EveryEntryHasItsOwnIdentity) {
    auto chain = presentParentChain(
        {tty("ttyACM0"), interface("1-2:1.0"), usbDevice("1-2", "1199", "68a3"), kRootHub});
    std::vector<std::string> identities;
    for (const auto& entry : chain) identities.push_back(entry.identity);
    EXPECT_EQ(identities,
              (std::vector<std::string>{"/sys/ttyACM0", "/sys/ttyACM0#port", "/sys/1-2:1.0",
                                        "/sys/1-2#configuration", "/sys/1-2", "/sys/usb1"}));
}

TEST(PresentParentChain, LeavesTtysThatAreNotOnUsbAsTheKernelHasThem) {
    struct Case {
        const char* what;
        std::vector<KernelDevice> kernelChain;
        std::vector<std::string> kinds;
    };
    const Case cases[] = {
        {"on-board serial port",
         {tty("ttyS0"), other("serial8250", "platform"), other("platform", "")},
         {"tty", "platform", "device"}},
        {"PCI serial card", {tty("ttyS4"), pciController()}, {"tty", "pci"}},
        {"interface without its USB device",
         {tty("ttyUSB0"), interface("1-2:1.0"), pciController()},
         {"tty", "usb_interface", "pci"}},
        {"lone tty", {tty("ttyS9")}, {"tty"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kindsOf(presentParentChain(c.kernelChain)), c.kinds) << c.what;
    }
}

TEST(PresentParentChain, UnreadableIdsAreLeftOut) {
    auto chain = presentParentChain(
        {tty("ttyACM0"), interface("1-2:1.0"), usbDevice("1-2", "zz", std::nullopt)});
    EXPECT_TRUE(chain[4].properties.empty());
}

}  // namespace
}  // namespace kelvorn::linux_backend
