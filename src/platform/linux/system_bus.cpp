#include "platform/linux/system_bus.h"

#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

namespace kelvorn::linux_backend {

namespace {

std::uint64_t monotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

// Waits the full time, also when a signal interrupts the wait.
void sleepMicroseconds(std::uint64_t microseconds) {
    timespec rest{static_cast<time_t>(microseconds / 1000000),
                  static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

}  // namespace

SystemBus::SystemBus(EventLoop& loop) : loop_(loop) {}

sd_bus* SystemBus::connection() {
    if (bus_ && sd_bus_is_open(bus_.get()) > 0) return bus_.get();
    bus_.reset();
    bus_ = connect();
    if (bus_) {
        for (const ConnectHook& hook : hooks_) hook(bus_.get());
    }
    return bus_.get();
}

void SystemBus::onConnect(ConnectHook hook) {
    hooks_.push_back(std::move(hook));
    bool wasOpen = bus_ && sd_bus_is_open(bus_.get()) > 0;
    // A connection opened now runs every hook, this one included; an open one only runs this one.
    sd_bus* bus = connection();
    if (wasOpen) hooks_.back()(bus);
}

FlushedBus SystemBus::connect() {
    FlushedBus bus;
    if (sd_bus_open_system(bus.out()) < 0) return {};
    if (loop_.event() != nullptr) {
        sd_bus_attach_event(bus.get(), loop_.event(), SD_EVENT_PRIORITY_NORMAL);
    }
    return bus;
}

std::optional<std::string> SystemBus::takeName(const char* name) {
    // The calls wait for their answers: an asynchronous call left unanswered while a handler
    // blocks the loop longer than the call's timeout fails, and sd-bus then drops the connection.
    sd_bus* bus = connection();
    hooks_.push_back([name](sd_bus* later) { sd_bus_request_name(later, name, 0); });
    if (bus == nullptr) return std::nullopt;
    const int result = sd_bus_request_name(bus, name, 0);
    if (result >= 0 || result == -EALREADY) return std::nullopt;
    const std::string quoted = std::string("the bus name ") + name;
    if (result == -EEXIST) return quoted + " is held by another process: Kelvorn already runs";
    return quoted + " was refused by the system bus (" + std::strerror(-result) +
           "): is its policy com.Corvant.Kelvorn.conf installed where the bus reads it?";
}

void SystemBus::serveFor(unsigned seconds) {
    const std::uint64_t end = monotonicMicroseconds() + std::uint64_t{seconds} * 1000000;
    for (std::uint64_t now = monotonicMicroseconds(); now < end; now = monotonicMicroseconds()) {
        sd_bus* bus = connection();
        int result = bus == nullptr ? -ENOTCONN : sd_bus_process(bus, nullptr);
        if (result == 0) result = sd_bus_wait(bus, end - now);
        if (result < 0 && result != -EINTR) {
            // Without a connection the rest of the wait is a plain one.
            sleepMicroseconds(end - now);
            return;
        }
    }
}

}  // namespace kelvorn::linux_backend
