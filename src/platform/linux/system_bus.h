// The daemon's one connection to the D-Bus system bus, shared by the console user, the power
// events and the notifications, and attached to the run loop so that signals arrive as events.
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <vector>

#include "platform/linux/event_loop.h"

namespace kelvorn::linux_backend {

// The bus name the daemon asks for, so that clients can tell its signals by their sender.
inline constexpr const char* kDaemonBusName = "com.Corvant.Kelvorn";

class SystemBus {
  public:
    using ConnectHook = std::function<void(sd_bus*)>;

    explicit SystemBus(EventLoop& loop);
    ~SystemBus();
    SystemBus(const SystemBus&) = delete;
    SystemBus& operator=(const SystemBus&) = delete;

    // The open connection: opened on first use, and opened again when the bus went away (a
    // restarted bus daemon); null while the bus cannot be reached.
    sd_bus* connection();

    // `hook` runs on every new connection, and at once when one is open (signal subscriptions).
    void onConnect(ConnectHook hook);

  private:
    sd_bus* connect();

    EventLoop& loop_;
    sd_bus* bus_ = nullptr;
    std::vector<ConnectHook> hooks_;
};

}  // namespace kelvorn::linux_backend
