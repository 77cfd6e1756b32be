#include "platform/linux/system_bus.h"

#include <utility>

namespace kelvorn::linux_backend {

SystemBus::SystemBus(EventLoop& loop) : loop_(loop) {}

SystemBus::~SystemBus() {
    sd_bus_flush_close_unref(bus_);
}

sd_bus* SystemBus::connection() {
    if (bus_ != nullptr && sd_bus_is_open(bus_) > 0) return bus_;
    bus_ = sd_bus_flush_close_unref(bus_);
    bus_ = connect();
    if (bus_ != nullptr) {
        for (const ConnectHook& hook : hooks_) hook(bus_);
    }
    return bus_;
}

void SystemBus::onConnect(ConnectHook hook) {
    hooks_.push_back(std::move(hook));
    bool wasOpen = bus_ != nullptr && sd_bus_is_open(bus_) > 0;
    // A connection opened now runs every hook, this one included; an open one only runs this one.
    sd_bus* bus = connection();
    if (wasOpen) hooks_.back()(bus);
}

sd_bus* SystemBus::connect() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return nullptr;
    if (loop_.event() != nullptr) sd_bus_attach_event(bus, loop_.event(), SD_EVENT_PRIORITY_NORMAL);
    // Taking the name is a courtesy to clients; signals go out without it, so a refusal is fine.
    // The call waits for its answer: an asynchronous call left unanswered while a handler blocks
    // the loop longer than the call's timeout fails, and sd-bus then drops the connection.
    sd_bus_request_name(bus, kDaemonBusName, 0);
    return bus;
}

}  // namespace kelvorn::linux_backend
