// sd-bus objects that free themselves when their owner goes out of scope, and the one question
// every client asks of the bus daemon itself. A connection is either flushed before it is closed
// (what was sent reaches the bus) or closed at once (a peer that may never answer cannot hold the
// closer): each owner says which by the type it picks.
#pragma once

#include <systemd/sd-bus.h>

namespace kelvorn::linux_backend {

// Owns one reference to an sd-bus object and lets go of it with `release`.
template <typename Object, Object* (*release)(Object*)>
class BusHandle {
  public:
    BusHandle() = default;
    explicit BusHandle(Object* held) : held_(held) {}
    ~BusHandle() { release(held_); }
    BusHandle(BusHandle&& other) noexcept : held_(other.held_) { other.held_ = nullptr; }
    BusHandle& operator=(BusHandle&& other) noexcept {
        if (this != &other) {
            reset();
            held_ = other.held_;
            other.held_ = nullptr;
        }
        return *this;
    }

    Object* get() const { return held_; }
    explicit operator bool() const { return held_ != nullptr; }

    // Lets go of the object held now, if any.
    void reset() { held_ = release(held_); }

    // Where a call that makes a new object puts it; the object held until then is let go first.
    Object** out() {
        reset();
        return &held_;
    }

  private:
    Object* held_ = nullptr;
};

using BusMessage = BusHandle<sd_bus_message, sd_bus_message_unref>;
using BusSlot = BusHandle<sd_bus_slot, sd_bus_slot_unref>;
// A connection that sends what is queued before it closes.
using FlushedBus = BusHandle<sd_bus, sd_bus_flush_close_unref>;
// A connection closed without a flush, which would wait for the peer with no bound.
using UnflushedBus = BusHandle<sd_bus, sd_bus_close_unref>;

// An error a call may fill in; freed with its owner.
class BusError {
  public:
    BusError() = default;
    ~BusError() { sd_bus_error_free(&error_); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;

    sd_bus_error* get() { return &error_; }
    // The bus's description of the error; null when there is none.
    const char* message() const { return error_.message; }

  private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

// Whether `name` has an owner on `bus`; false too when the bus daemon cannot be asked.
bool nameHasOwner(sd_bus* bus, const char* name);

}  // namespace kelvorn::linux_backend
