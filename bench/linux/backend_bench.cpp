// The registry's own work per device event: shaping a tty's kernel chain into entries, and
// sorting a burst of ready events into batches.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/linux/device_topology.h"
#include "platform/linux/serial_devices.h"

namespace kelvorn::linux_backend {
namespace {

std::vector<KernelDevice> modemBehindHub() {
    const std::string hub = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
    const std::string modem = hub + "/1-1.4";
    return {{"ttyUSB0", "tty", "", {}, {}, modem + "/1-1.4:1.0/ttyUSB0/tty/ttyUSB0", {}},
            {"ttyUSB0", "usb-serial", "", {}, {}, modem + "/1-1.4:1.0/ttyUSB0", {}},
            {"1-1.4:1.0", "usb", "usb_interface", {}, {}, modem + "/1-1.4:1.0", "00"},
            {"1-1.4", "usb", "usb_device", "12d1", "1506", modem, {}},
            {"1-1", "usb", "usb_device", "05e3", "0608", hub, {}},
            {"usb1",
             "usb",
             "usb_device",
             "1d6b",
             "0002",
             "/sys/devices/pci0000:00/0000:00:14.0/usb1",
             {}},
            {"0000:00:14.0", "pci", "", {}, {}, "/sys/devices/pci0000:00/0000:00:14.0", {}}};
}

void BM_PresentParentChain(benchmark::State& state) {
    const auto chain = modemBehindHub();
    for (auto _ : state) {
        auto entry = linkEntries(presentParentChain(chain));
        benchmark::DoNotOptimize(entry);
    }
}
BENCHMARK(BM_PresentParentChain);

// A hub with many ports coming and going: `range(0)` arrivals, then as many removals.
void BM_SortEvents(benchmark::State& state) {
    const auto entry = linkEntries(presentParentChain(modemBehindHub()));
    std::vector<DeviceEvent> events;
    for (int i = 0; i < state.range(0); ++i) {
        events.push_back({DeviceAction::Arrival, "/sys/tty" + std::to_string(i), entry});
    }
    for (int i = 0; i < state.range(0); ++i) {
        events.push_back({DeviceAction::Removal, "/sys/tty" + std::to_string(i), nullptr});
    }
    for (auto _ : state) {
        SerialDeviceBook book;
        auto batches = book.sortEvents(events);
        benchmark::DoNotOptimize(batches);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(events.size()));
}
BENCHMARK(BM_SortEvents)->Arg(8)->Arg(128);

}  // namespace
}  // namespace kelvorn::linux_backend
