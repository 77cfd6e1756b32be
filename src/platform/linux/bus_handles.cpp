#include "platform/linux/bus_handles.h"

namespace kelvorn::linux_backend {

bool nameHasOwner(sd_bus* bus, const char* name) {
    BusError error;
    BusMessage reply;
    int owned = 0;
    const int result = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "NameHasOwner", error.get(),
                                          reply.out(), "s", name);
    return result >= 0 && sd_bus_message_read(reply.get(), "b", &owned) >= 0 && owned != 0;
}

}  // namespace kelvorn::linux_backend
