// The registry's own work per device event: shaping a tty's kernel chain into entries, and
// sorting a burst of ready events into batches; and the round trip of GetSupportedDevices.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <systemd/sd-id128.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/dbus_notifications.h"
#include "platform/linux/dbus_queries.h"
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

// `range(0)` supported ports listed; each iteration is one GetSupportedDevices call, answered by
// the daemon's interface on the other end of a socket, and the reply read as a client does.
void BM_GetSupportedDevices(benchmark::State& state) {
    struct Ports final : DeviceQueries {
        std::vector<SupportedPort> ports;
        const std::vector<SupportedPort>& supportedPorts() const override { return ports; }
        DaemonStatus status() const override { return {}; }
    } queries;
    for (int i = 0; i < state.range(0); ++i) {
        queries.ports.push_back({"/sys/tty" + std::to_string(i), 4817, 5382,
                                 "/dev/ttyUSB" + std::to_string(i), "ttyUSB", std::to_string(i % 4),
                                 "E3372"});
    }
    int sockets[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets);
    sd_id128_t id;
    sd_id128_randomize(&id);
    sd_bus *server = nullptr, *client = nullptr;
    sd_bus_new(&server);
    sd_bus_set_fd(server, sockets[0], sockets[0]);
    sd_bus_set_server(server, 1, id);
    sd_bus_new(&client);
    sd_bus_set_fd(client, sockets[1], sockets[1]);
    std::atomic<bool> done = false;
    if (sd_bus_start(server) < 0 || sd_bus_start(client) < 0 ||
        publishDeviceQueries(server, queries) < 0) {
        state.SkipWithError("no peer connection");
    }
    std::thread daemon([&] {
        while (!done) {
            if (sd_bus_process(server, nullptr) == 0) sd_bus_wait(server, 10000);
        }
    });
    std::size_t listed = 0;
    for (auto _ : state) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(client, nullptr, kNotificationPath, kDevicesInterface,
                               kGetSupportedDevices, &error, &reply, "") < 0) {
            state.SkipWithError(error.message ? error.message : "call failed");
            break;
        }
        listed = 0;
        sd_bus_message_enter_container(reply, 'a', "a{sv}");
        for (corvant::Dictionary port; readUserInfo(reply, port) > 0; port.clear()) ++listed;
        sd_bus_message_unref(reply);
    }
    if (listed != queries.ports.size()) state.SkipWithError("not every port was listed");
    done = true;
    daemon.join();
    sd_bus_flush_close_unref(client);
    sd_bus_flush_close_unref(server);
}
BENCHMARK(BM_GetSupportedDevices)->Arg(200)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kelvorn::linux_backend
