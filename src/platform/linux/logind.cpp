#include "platform/linux/logind.h"

#include <cstdlib>
#include <utility>

namespace kelvorn::linux_backend {

namespace {

constexpr const char* kLogindName = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManagerInterface = "org.freedesktop.login1.Manager";
constexpr const char* kSeatPath = "/org/freedesktop/login1/seat/seat0";
constexpr const char* kSeatInterface = "org.freedesktop.login1.Seat";
constexpr const char* kSessionInterface = "org.freedesktop.login1.Session";
constexpr const char* kActiveSession = "ActiveSession";

// Whether the dictionary of changed properties where `message` stands names `property`; read
// past it.
bool changedOnesName(sd_bus_message* message, std::string_view property) {
    if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return false;
    bool named = false;
    const char* name = nullptr;
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        if (sd_bus_message_read(message, "s", &name) < 0 || sd_bus_message_skip(message, "v") < 0 ||
            sd_bus_message_exit_container(message) < 0) {
            return false;
        }
        named = named || property == name;
    }
    return sd_bus_message_exit_container(message) >= 0 && named;
}

// Whether the list of invalidated properties where `message` stands names `property`.
bool invalidatedOnesName(sd_bus_message* message, std::string_view property) {
    if (sd_bus_message_enter_container(message, 'a', "s") < 0) return false;
    bool named = false;
    const char* name = nullptr;
    while (sd_bus_message_read(message, "s", &name) > 0) named = named || property == name;
    return named;
}

// Whether a PropertiesChanged signal of the seat names ActiveSession among the properties changed
// (with the new value, as logind sends it) or invalidated.
bool changesActiveSession(sd_bus_message* message) {
    const char* interface = nullptr;
    if (sd_bus_message_read(message, "s", &interface) < 0 || interface == nullptr ||
        std::string_view(interface) != kSeatInterface) {
        return false;
    }
    if (changedOnesName(message, kActiveSession)) return true;
    return invalidatedOnesName(message, kActiveSession);
}

}  // namespace

// "/" is logind's "no session".
std::optional<std::string> activeSessionPath(sd_bus* bus) {
    BusError error;
    BusMessage reply;
    std::optional<std::string> path;
    const char* id = nullptr;
    const char* object = nullptr;
    if (sd_bus_get_property(bus, kLogindName, kSeatPath, kSeatInterface, "ActiveSession",
                            error.get(), reply.out(), "(so)") >= 0 &&
        sd_bus_message_read(reply.get(), "(so)", &id, &object) > 0 && object != nullptr &&
        std::string_view(object) != "/") {
        path = object;
    }
    return path;
}

std::optional<std::string> sessionText(sd_bus* bus, const std::string& session,
                                       const char* property) {
    BusError error;
    char* text = nullptr;
    std::optional<std::string> result;
    if (sd_bus_get_property_string(bus, kLogindName, session.c_str(), kSessionInterface, property,
                                   error.get(), &text) >= 0) {
        result = text;
    }
    free(text);
    return result;
}

std::optional<std::uint32_t> sessionUid(sd_bus* bus, const std::string& session) {
    BusError error;
    BusMessage reply;
    std::optional<std::uint32_t> result;
    std::uint32_t uid = 0;
    const char* path = nullptr;
    if (sd_bus_get_property(bus, kLogindName, session.c_str(), kSessionInterface, "User",
                            error.get(), reply.out(), "(uo)") >= 0 &&
        sd_bus_message_read(reply.get(), "(uo)", &uid, &path) > 0) {
        result = uid;
    }
    return result;
}

std::optional<ConsoleSession> activeConsoleSession(sd_bus* systemBus) {
    if (systemBus == nullptr) return std::nullopt;
    const auto session = activeSessionPath(systemBus);
    if (!session || sessionText(systemBus, *session, "Class") == "greeter") return std::nullopt;
    const auto uid = sessionUid(systemBus, *session);
    if (!uid) return std::nullopt;
    return ConsoleSession{static_cast<uid_t>(*uid),
                          sessionText(systemBus, *session, "Name").value_or(""),
                          sessionText(systemBus, *session, "Display").value_or("")};
}

std::optional<std::string> consoleUserOfSession(std::string_view sessionClass,
                                                std::string_view userName) {
    if (sessionClass == "greeter" || userName.empty()) return std::nullopt;
    return std::string(userName);
}

std::uint32_t powerMessageForSleep(bool goingToSleep) {
    return goingToSleep ? kMessageDeviceWillPowerOff : kMessageDeviceHasPoweredOn;
}

std::optional<std::string> LogindConsoleUser::copyConsoleUser() {
    sd_bus* bus = bus_.connection();
    if (bus == nullptr) return std::nullopt;
    auto session = activeSessionPath(bus);
    if (!session) return std::nullopt;
    auto sessionClass = sessionText(bus, *session, "Class");
    auto name = sessionText(bus, *session, "Name");
    if (!sessionClass || !name) return std::nullopt;
    return consoleUserOfSession(*sessionClass, *name);
}

void LogindConsoleChanges::addConsoleChangeNotification(Handler handler) {
    bool first = !handler_;
    handler_ = std::move(handler);
    if (first) bus_.onConnect([this](sd_bus* bus) { subscribe(bus); });
}

void LogindConsoleChanges::subscribe(sd_bus* bus) {
    sd_bus_match_signal(bus, match_.out(), kLogindName, kSeatPath,
                        "org.freedesktop.DBus.Properties", "PropertiesChanged",
                        &LogindConsoleChanges::onSeatChanged, this);
}

int LogindConsoleChanges::onSeatChanged(sd_bus_message* message, void* self, sd_bus_error*) {
    auto& changes = *static_cast<LogindConsoleChanges*>(self);
    if (changes.handler_ && changesActiveSession(message)) {
        changes.handler_(changes.console_.copyConsoleUser());
    }
    return 0;
}

void LogindPowerEvents::addInterestNotification(Handler handler) {
    bool first = !handler_;
    handler_ = std::move(handler);
    if (first) bus_.onConnect([this](sd_bus* bus) { subscribe(bus); });
}

void LogindPowerEvents::subscribe(sd_bus* bus) {
    // Subscribed with a call that waits for its answer (see SystemBus::connect).
    sd_bus_match_signal(bus, match_.out(), kLogindName, kLogindPath, kManagerInterface,
                        "PrepareForSleep", &LogindPowerEvents::onPrepareForSleep, this);
}

int LogindPowerEvents::onPrepareForSleep(sd_bus_message* message, void* self, sd_bus_error*) {
    int goingToSleep = 0;
    if (sd_bus_message_read(message, "b", &goingToSleep) < 0) return 0;
    auto& events = *static_cast<LogindPowerEvents*>(self);
    if (events.handler_) events.handler_(powerMessageForSleep(goingToSleep != 0));
    return 0;
}

}  // namespace kelvorn::linux_backend
