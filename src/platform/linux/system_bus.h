// A connection of the daemon to the D-Bus system bus, attached to the run loop so that signals and
// calls arrive as events. The daemon holds two: one asks logind (console user, sleep), the other
// holds the daemon's name, answers calls to its object and sends its notifications, so that the
// daemon's waits can answer calls without handling a power event early.
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/bus_handles.h"
#include "platform/linux/event_loop.h"

namespace kelvorn::linux_backend {

// The bus name the daemon asks for, so that clients can tell its signals by their sender.
inline constexpr const char* kDaemonBusName = "com.Corvant.Kelvorn";

class SystemBus {
  public:
    using ConnectHook = std::function<void(sd_bus*)>;

    explicit SystemBus(EventLoop& loop);
    SystemBus(const SystemBus&) = delete;
    SystemBus& operator=(const SystemBus&) = delete;

    // The open connection: opened on first use, and opened again when the bus went away (a
    // restarted bus daemon); null while the bus cannot be reached.
    sd_bus* connection();

    // `hook` runs on every new connection, and at once when one is open (signal subscriptions).
    void onConnect(ConnectHook hook);

    // Asks for the well-known `name` now and on every later connection, without queueing for it.
    // Returns why the bus refused it (another owner, the policy); nothing when the name is held,
    // or when the bus cannot be reached now (the name is then asked for once it can).
    std::optional<std::string> takeName(const char* name);

    // Handles the messages that reach this connection, and those arriving, for `seconds`; returns
    // after them, also when the bus cannot be reached.
    void serveFor(unsigned seconds);

  private:
    FlushedBus connect();

    EventLoop& loop_;
    std::vector<ConnectHook> hooks_;
    // Last, so that the connection is flushed and closed before anything else of this goes.
    FlushedBus bus_;
};

}  // namespace kelvorn::linux_backend
