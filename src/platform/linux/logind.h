// systemd-logind over D-Bus: who sits at the console (the active session of seat0) and when that
// changes, told by seat0's PropertiesChanged, and the system's sleep and wake, told by
// PrepareForSleep.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/console_changes.h"
#include "platform/console_user.h"
#include "platform/linux/bus_handles.h"
#include "platform/linux/system_bus.h"
#include "platform/power_events.h"

namespace kelvorn::linux_backend {

// The path of seat0's active session; none when logind cannot be asked or the seat has none.
std::optional<std::string> activeSessionPath(sd_bus* bus);

// A text property of the logind session at `session` ("Class", "Name", "Display", ...).
std::optional<std::string> sessionText(sd_bus* bus, const std::string& session,
                                       const char* property);

// The uid of the user of the logind session at `session`.
std::optional<std::uint32_t> sessionUid(sd_bus* bus, const std::string& session);

// seat0's active session as logind describes it.
struct ConsoleSession {
    uid_t uid = 0;
    std::string userName;
    // The X11 display of a graphical session ("0" or ":0"); empty for other sessions.
    std::string display;
};

// None when logind cannot be asked, seat0 has no active session, or it is the login screen's.
std::optional<ConsoleSession> activeConsoleSession(sd_bus* systemBus);

// The console user a session of `sessionClass` stands for: its user's name, or nobody for the
// login screen (class "greeter") and for a session without a user name.
std::optional<std::string> consoleUserOfSession(std::string_view sessionClass,
                                                std::string_view userName);

// The power message for PrepareForSleep(true) (going to sleep) or PrepareForSleep(false) (awake).
std::uint32_t powerMessageForSleep(bool goingToSleep);

class LogindConsoleUser final : public ConsoleUser {
  public:
    explicit LogindConsoleUser(SystemBus& bus) : bus_(bus) {}
    // Nobody when logind cannot be asked, seat0 does not exist or has no active session.
    std::optional<std::string> copyConsoleUser() override;

  private:
    SystemBus& bus_;
};

class LogindConsoleChanges final : public ConsoleChanges {
  public:
    LogindConsoleChanges(SystemBus& bus, ConsoleUser& console) : bus_(bus), console_(console) {}
    LogindConsoleChanges(const LogindConsoleChanges&) = delete;
    LogindConsoleChanges& operator=(const LogindConsoleChanges&) = delete;

    // Subscribes to seat0's property changes; for each change of its active session the run loop
    // calls `handler` with the console user asked afresh, so that a change that waited in the
    // queue while the daemon was busy tells who is there now.
    void addConsoleChangeNotification(Handler handler) override;

  private:
    void subscribe(sd_bus* bus);
    static int onSeatChanged(sd_bus_message* message, void* self, sd_bus_error* error);

    SystemBus& bus_;
    ConsoleUser& console_;
    Handler handler_;
    BusSlot match_;
};

class LogindPowerEvents final : public PowerEvents {
  public:
    explicit LogindPowerEvents(SystemBus& bus) : bus_(bus) {}
    LogindPowerEvents(const LogindPowerEvents&) = delete;
    LogindPowerEvents& operator=(const LogindPowerEvents&) = delete;

    // Subscribes to PrepareForSleep; the run loop calls `handler` for each signal.
    void addInterestNotification(Handler handler) override;

  private:
    void subscribe(sd_bus* bus);
    static int onPrepareForSleep(sd_bus_message* message, void* self, sd_bus_error* error);

    SystemBus& bus_;
    Handler handler_;
    BusSlot match_;
};

}  // namespace kelvorn::linux_backend
