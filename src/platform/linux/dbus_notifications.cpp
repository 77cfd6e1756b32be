#include "platform/linux/dbus_notifications.h"

#include <cstdint>
#include <type_traits>

namespace kelvorn::linux_backend {

namespace {

// The interface as introspection shows it; the object has no methods or properties.
const sd_bus_vtable kNotificationsInterface[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_SIGNAL_WITH_NAMES(kNotificationMember, "sa{sv}",
                             SD_BUS_PARAM(name) SD_BUS_PARAM(userInfo), 0),
    SD_BUS_VTABLE_END};

int appendInVariant(sd_bus_message* message, const corvant::Value& value);

int appendArray(sd_bus_message* message, const corvant::Array& array) {
    int result = sd_bus_message_open_container(message, 'a', "v");
    for (auto item = array.begin(); result >= 0 && item != array.end(); ++item) {
        result = appendInVariant(message, *item);
    }
    return result < 0 ? result : sd_bus_message_close_container(message);
}

// Opens a variant of `signature`, fills it with `append` and closes it.
int appendVariant(sd_bus_message* message, const char* signature, auto append) {
    int result = sd_bus_message_open_container(message, 'v', signature);
    if (result >= 0) result = append();
    return result < 0 ? result : sd_bus_message_close_container(message);
}

int appendInVariant(sd_bus_message* message, const corvant::Value& value) {
    return std::visit(
        [message](const auto& held) -> int {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, corvant::Absent>) {
                return 0;  // left out of arrays and dictionaries
            } else if constexpr (std::is_same_v<T, std::string>) {
                return appendVariant(message, "s", [&] {
                    return sd_bus_message_append(message, "s", held.c_str());
                });
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return appendVariant(message, "x",
                                     [&] { return sd_bus_message_append(message, "x", held); });
            } else if constexpr (std::is_same_v<T, double>) {
                return appendVariant(message, "d",
                                     [&] { return sd_bus_message_append(message, "d", held); });
            } else if constexpr (std::is_same_v<T, bool>) {
                int flag = held ? 1 : 0;
                return appendVariant(message, "b",
                                     [&] { return sd_bus_message_append(message, "b", flag); });
            } else if constexpr (std::is_same_v<T, corvant::Date>) {
                return appendVariant(message, "d", [&] {
                    return sd_bus_message_append(message, "d", held.secondsSinceReferenceDate);
                });
            } else if constexpr (std::is_same_v<T, corvant::Data>) {
                return appendVariant(message, "ay", [&] {
                    return sd_bus_message_append_array(message, 'y', held.bytes.data(),
                                                       held.bytes.size());
                });
            } else if constexpr (std::is_same_v<T, corvant::Array>) {
                return appendVariant(message, "av", [&] { return appendArray(message, held); });
            } else {
                return appendVariant(message, "a{sv}",
                                     [&] { return appendUserInfo(message, held); });
            }
        },
        value.storage());
}

}  // namespace

int appendUserInfo(sd_bus_message* message, const corvant::Dictionary& dictionary) {
    int result = sd_bus_message_open_container(message, 'a', "{sv}");
    for (const auto& [key, value] : dictionary) {
        if (result < 0) return result;
        if (value.isAbsent()) continue;  // a{sv} has no way to say "no value"
        result = sd_bus_message_open_container(message, 'e', "sv");
        if (result >= 0) result = sd_bus_message_append(message, "s", key.c_str());
        if (result >= 0) result = appendInVariant(message, value);
        if (result >= 0) result = sd_bus_message_close_container(message);
    }
    return result < 0 ? result : sd_bus_message_close_container(message);
}

DbusNotificationCenter::DbusNotificationCenter(SystemBus& bus) : bus_(bus) {
    // Bound to the connection's life: each new connection gets the object again.
    bus_.onConnect([](sd_bus* connection) {
        sd_bus_add_object_vtable(connection, nullptr, kNotificationPath, kNotificationInterface,
                                 kNotificationsInterface, nullptr);
    });
}

bool DbusNotificationCenter::postNotification(const std::string& name,
                                              const corvant::Dictionary& userInfo, unsigned) {
    // A failed send closes the connection, so the second try connects afresh: a bus daemon that
    // was restarted meanwhile gets the signal.
    return send(name, userInfo) || send(name, userInfo);
}

bool DbusNotificationCenter::send(const std::string& name, const corvant::Dictionary& userInfo) {
    sd_bus* bus = bus_.connection();
    if (bus == nullptr) return false;
    sd_bus_message* message = nullptr;
    int result = sd_bus_message_new_signal(bus, &message, kNotificationPath, kNotificationInterface,
                                           kNotificationMember);
    if (result >= 0) result = sd_bus_message_append(message, "s", name.c_str());
    if (result >= 0) result = appendUserInfo(message, userInfo);
    if (result >= 0) result = sd_bus_send(bus, message, nullptr);
    // Flushed at once: the daemon may block in its next step (a wait, a command) for a while.
    if (result >= 0) result = sd_bus_flush(bus);
    sd_bus_message_unref(message);
    return result >= 0;
}

}  // namespace kelvorn::linux_backend
