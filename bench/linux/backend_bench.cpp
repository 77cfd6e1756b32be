// The registry's own work per device event: shaping a tty's kernel chain into entries, and
// sorting a burst of ready events into batches; and the round trips of GetSupportedDevices and
// GetManagedObjects.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <systemd/sd-id128.h>

#include <atomic>
#include <string>
#include <string_view>
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

// `range(0)` supported ports listed, served by the daemon's objects on one end of a socket; the
// other end is the client.
class PeerConnection {
  public:
    explicit PeerConnection(benchmark::State& state) {
        for (int i = 0; i < state.range(0); ++i) {
            const std::string n = std::to_string(i);
            queries_.ports.push_back({"/sys/tty" + n, "/sys/usb" + std::to_string(i / 4), 4817,
                                      5382, "/dev/ttyUSB" + n, "ttyUSB", std::to_string(i % 4),
                                      "E3372"});
            // Listed before the connection serves them: no announcement goes out.
            objects_.portListed(queries_.ports.back());
        }
        int sockets[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets);
        sd_id128_t id;
        sd_id128_randomize(&id);
        sd_bus_new(&server_);
        sd_bus_set_fd(server_, sockets[0], sockets[0]);
        sd_bus_set_server(server_, 1, id);
        sd_bus_new(&client_);
        sd_bus_set_fd(client_, sockets[1], sockets[1]);
        if (sd_bus_start(server_) < 0 || sd_bus_start(client_) < 0 ||
            objects_.publishOn(server_) < 0) {
            state.SkipWithError("no peer connection");
        }
        daemon_ = std::thread([this] {
            while (!done_) {
                if (sd_bus_process(server_, nullptr) == 0) sd_bus_wait(server_, 10000);
            }
        });
    }
    ~PeerConnection() {
        done_ = true;
        daemon_.join();
        sd_bus_flush_close_unref(client_);
        sd_bus_flush_close_unref(server_);
    }

    sd_bus* client() { return client_; }
    std::size_t size() const { return queries_.ports.size(); }

  private:
    struct Ports final : DeviceQueries {
        std::vector<SupportedPort> ports;
        const std::vector<SupportedPort>& supportedPorts() const override { return ports; }
        DaemonStatus status() const override { return {}; }
    } queries_;
    DeviceObjects objects_{queries_, nullptr};
    sd_bus* server_ = nullptr;
    sd_bus* client_ = nullptr;
    std::atomic<bool> done_ = false;
    std::thread daemon_;
};

// Each iteration is one call of `interface`'s `method` on `path`, its reply read whole by `read`,
// which returns how many ports it held.
void callAndRead(benchmark::State& state, const char* path, const char* interface,
                 const char* method, std::size_t (*read)(sd_bus_message*)) {
    PeerConnection peer(state);
    std::size_t listed = 0;
    for (auto _ : state) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(peer.client(), nullptr, path, interface, method, &error, &reply,
                               "") < 0) {
            state.SkipWithError(error.message ? error.message : "call failed");
            break;
        }
        listed = read(reply);
        sd_bus_message_unref(reply);
    }
    if (listed != peer.size()) state.SkipWithError("not every port was listed");
}

std::size_t readSupportedDevices(sd_bus_message* reply) {
    std::size_t listed = 0;
    sd_bus_message_enter_container(reply, 'a', "a{sv}");
    for (corvant::Dictionary port; readUserInfo(reply, port) > 0; port.clear()) ++listed;
    return listed;
}

// a{oa{sa{sv}}}: each object's interfaces and their properties, read as a client does.
std::size_t readManagedObjects(sd_bus_message* reply) {
    std::size_t listed = 0;
    sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}");
    while (sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}") > 0) {
        const char* path = nullptr;
        sd_bus_message_read(reply, "o", &path);
        sd_bus_message_enter_container(reply, 'a', "{sa{sv}}");
        while (sd_bus_message_enter_container(reply, 'e', "sa{sv}") > 0) {
            const char* interface = nullptr;
            corvant::Dictionary properties;
            sd_bus_message_read(reply, "s", &interface);
            readUserInfo(reply, properties);
            if (std::string_view(interface) == kPortInterface) ++listed;
            sd_bus_message_exit_container(reply);
        }
        sd_bus_message_exit_container(reply);
        sd_bus_message_exit_container(reply);
    }
    return listed;
}

void BM_GetSupportedDevices(benchmark::State& state) {
    callAndRead(state, kNotificationPath, kDevicesInterface, kGetSupportedDevices,
                readSupportedDevices);
}
BENCHMARK(BM_GetSupportedDevices)->Arg(200)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GetManagedObjects(benchmark::State& state) {
    callAndRead(state, kNotificationPath, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                readManagedObjects);
}
BENCHMARK(BM_GetManagedObjects)->Arg(200)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kelvorn::linux_backend
