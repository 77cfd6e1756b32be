#include "platform/linux/serial_devices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvorn::linux_backend {
namespace {

std::shared_ptr<RegistryEntry> entryNamed(const std::string& name) {
    return linkEntries({{name, "tty", {{kTtyDeviceProperty, name}}, name}});
}

std::string nameOf(const std::shared_ptr<RegistryEntry>& entry) {
    return *entry->property(kTtyDeviceProperty).as<std::string>();
}

// A compact view of batches: "+a b" for an arrival batch, "-a" for a removal batch.
std::vector<std::string> describe(const std::vector<DeviceBatch>& batches) {
    std::vector<std::string> lines;
    for (const auto& batch : batches) {
        std::string line = batch.action == DeviceAction::Arrival ? "+" : "-";
        for (const auto& entry : batch.entries) {
            if (line.size() > 1) line += " ";
            line += nameOf(entry);
        }
        lines.push_back(line);
    }
    return lines;
}

DeviceEvent arrival(const std::string& name) {
    return {DeviceAction::Arrival, "/sys/" + name, entryNamed(name)};
}
DeviceEvent nonSerialArrival(const std::string& name) {
    return {DeviceAction::Arrival, "/sys/" + name, nullptr};
}
DeviceEvent removal(const std::string& name) {
    return {DeviceAction::Removal, "/sys/" + name, {}};
}

TEST(SerialDeviceBook, SortsReadyEventsIntoBatches) {
    struct Case {
        const char* what;
        std::vector<std::string> present;
        std::vector<DeviceEvent> events;
        std::vector<std::string> batches;
    };
    const Case cases[] = {
        {"one arrival", {}, {arrival("a")}, {"+a"}},
        {"a run of arrivals is one batch",
         {},
         {arrival("a"), arrival("b"), arrival("c")},
         {"+a b c"}},
        {"arrivals and removals alternate in order",
         {"x"},
         {arrival("a"), removal("x"), removal("a"), arrival("b")},
         {"+a", "-x a", "+b"}},
        {"plugged and pulled before the loop looked",
         {},
         {arrival("a"), removal("a")},
         {"+a", "-a"}},
        {"device listed at start is not reported again",
         {"a"},
         {arrival("a"), arrival("b")},
         {"+b"}},
        {"removal of a device never seen", {}, {removal("a")}, {}},
        {"virtual ttys are not serial devices, not even when they go",
         {},
         {nonSerialArrival("tty1"), removal("tty1"), arrival("a")},
         {"+a"}},
        {"dropped events do not split a run",
         {"a"},
         {arrival("b"), arrival("a"), arrival("c")},
         {"+b c"}},
        {"nothing ready", {}, {}, {}},
    };
    for (const Case& c : cases) {
        SerialDeviceBook book;
        for (const auto& name : c.present) book.recordPresent("/sys/" + name, entryNamed(name));
        EXPECT_EQ(describe(book.sortEvents(c.events)), c.batches) << c.what;
    }
}

TEST(SerialDeviceBook, RemovalHandsBackTheEntryTakenOnArrival) {
    SerialDeviceBook book;
    auto entry = entryNamed("ttyUSB0");
    book.sortEvents({{DeviceAction::Arrival, "/sys/ttyUSB0", entry}});
    auto batches = book.sortEvents({removal("ttyUSB0")});
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].entries.at(0), entry);
    EXPECT_EQ(book.size(), 0u);
    // Plugged in again: a new arrival.
    EXPECT_EQ(describe(book.sortEvents({arrival("ttyUSB0")})),
              std::vector<std::string>{"+ttyUSB0"});
}

TEST(LinkEntries, ParentsFollowTheChainAndEndAtTheTop) {
    auto tty = linkEntries({{"ttyACM0", "tty", {}, "tty"},
                            {"ttyACM0", "port", {}, "port"},
                            {"1-2", "usb_device", {{kVendorIdProperty, 0x1199}}, "1-2"}});
    ASSERT_NE(tty, nullptr);
    auto port = tty->parent();
    ASSERT_NE(port, nullptr);
    auto device = port->parent();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->property(kVendorIdProperty), corvant::Value(0x1199));
    EXPECT_TRUE(device->property(kProductIdProperty).isAbsent());
    EXPECT_EQ(device->parent(), nullptr);
    EXPECT_EQ(linkEntries({}), nullptr);
}

}  // namespace
}  // namespace kelvorn::linux_backend
