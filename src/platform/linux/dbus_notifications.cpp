#include "platform/linux/dbus_notifications.h"

#include <cerrno>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "platform/linux/bus_handles.h"

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

namespace {

int readValue(sd_bus_message* message, corvant::Value& value);

template <typename T>
int readBasic(sd_bus_message* message, char type, corvant::Value& value) {
    T held{};
    const int result = sd_bus_message_read_basic(message, type, &held);
    if (result > 0) value = corvant::Value(held);
    return result;
}

// Reads one variant's content; `contents` is its signature.
int readContents(sd_bus_message* message, const char* contents, corvant::Value& value) {
    const std::string_view type = contents;
    if (type == "s" || type == "o" || type == "g") {
        const char* text = nullptr;
        const int result = sd_bus_message_read_basic(message, type[0], &text);
        if (result > 0) value = corvant::Value(std::string(text));
        return result;
    }
    if (type == "x") return readBasic<std::int64_t>(message, 'x', value);
    if (type == "t") return readBasic<std::uint64_t>(message, 't', value);
    if (type == "i") return readBasic<std::int32_t>(message, 'i', value);
    if (type == "u") return readBasic<std::uint32_t>(message, 'u', value);
    if (type == "n") return readBasic<std::int16_t>(message, 'n', value);
    if (type == "q") return readBasic<std::uint16_t>(message, 'q', value);
    if (type == "y") return readBasic<std::uint8_t>(message, 'y', value);
    if (type == "d") return readBasic<double>(message, 'd', value);
    if (type == "b") {
        int flag = 0;
        const int result = sd_bus_message_read_basic(message, 'b', &flag);
        if (result > 0) value = corvant::Value(flag != 0);
        return result;
    }
    if (type == "a{sv}") {
        corvant::Dictionary dictionary;
        const int result = readUserInfo(message, dictionary);
        if (result >= 0) value = std::move(dictionary);
        return result;
    }
    if (type == "av") {
        int result = sd_bus_message_enter_container(message, 'a', "v");
        corvant::Array array;
        while (result > 0) {
            corvant::Value item;
            result = readValue(message, item);
            if (result > 0) array.push_back(std::move(item));
        }
        if (result >= 0) result = sd_bus_message_exit_container(message);
        if (result >= 0) value = std::move(array);
        return result;
    }
    return sd_bus_message_skip(message, contents);
}

// Reads a variant; 0 at the end of the enclosing container.
int readValue(sd_bus_message* message, corvant::Value& value) {
    const char* contents = nullptr;
    int result = sd_bus_message_peek_type(message, nullptr, &contents);
    if (result <= 0) return result;
    result = sd_bus_message_enter_container(message, 'v', contents);
    if (result > 0) result = readContents(message, contents, value);
    if (result >= 0) result = sd_bus_message_exit_container(message);
    return result < 0 ? result : 1;
}

}  // namespace

int readUserInfo(sd_bus_message* message, corvant::Dictionary& dictionary) {
    int result = sd_bus_message_enter_container(message, 'a', "{sv}");
    if (result <= 0) return result < 0 ? result : -EBADMSG;
    while ((result = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* key = nullptr;
        corvant::Value value;
        result = sd_bus_message_read_basic(message, 's', &key);
        if (result > 0) result = readValue(message, value);
        if (result >= 0) result = sd_bus_message_exit_container(message);
        if (result < 0) return result;
        if (!value.isAbsent()) dictionary[key] = std::move(value);
    }
    if (result < 0) return result;
    return sd_bus_message_exit_container(message);
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
    BusMessage message;
    int result = sd_bus_message_new_signal(bus, message.out(), kNotificationPath,
                                           kNotificationInterface, kNotificationMember);
    if (result >= 0) result = sd_bus_message_append(message.get(), "s", name.c_str());
    if (result >= 0) result = appendUserInfo(message.get(), userInfo);
    if (result >= 0) result = sd_bus_send(bus, message.get(), nullptr);
    // Flushed at once: the daemon may block in its next step (a wait, a command) for a while.
    if (result >= 0) result = sd_bus_flush(bus);
    return result >= 0;
}

}  // namespace kelvorn::linux_backend
