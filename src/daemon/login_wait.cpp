// Waiting for a user at the console before any device is handled, and following who is there
// afterwards.
#include "daemon/daemon.h"

namespace kelvorn {

namespace {

// What the console reports while nobody is logged in.
constexpr const char* kLoginWindowUser = "loginwindow";
// A name that also stands for nobody.
constexpr const char* kNullUser = "NULL";
constexpr unsigned kPollingSeconds = 2;
constexpr unsigned kSettlingSeconds = 30;

// Whoever the login wait would not take for a user.
bool isNobody(const std::optional<std::string>& name) {
    return !name || *name == kLoginWindowUser || *name == kNullUser;
}

}  // namespace

void Daemon::checkIfUserHasLoggedIn() {
    state.activity = kWaitingForUser;
    publishStatus();
    std::string user;
    while (true) {
        const auto name = platform_.console.copyConsoleUser();
        if (!name || *name == kLoginWindowUser) {
            log("DEBUG", 2, "current user got before executing notification : %@",
                corvant::Absent{});
            platform_.sleeper.sleepSeconds(kPollingSeconds);
            continue;
        }
        log("DEBUG", 2, "current user got before executing notification : %@", *name);
        if (isNobody(name)) {
            platform_.sleeper.sleepSeconds(kPollingSeconds);
            continue;
        }
        user = *name;
        break;
    }
    state.CurrentUser = user;
    log("DEBUG", 2, "Current Logged in User:%@", user);
    state.activity = kSettling;
    publishStatus();

    // After a sleep the arrival handler adds its own, shorter wait.
    if (state.didSystemGoToSleep) {
        state.didSystemGoToSleep = false;
        return;
    }
    platform_.sleeper.sleepSeconds(kSettlingSeconds);
}

void Daemon::followConsoleUser() {
    platform_.consoleChanges.addConsoleChangeNotification(
        [this](const std::optional<std::string>& user) { consoleUserChanged(user); });
}

void Daemon::consoleUserChanged(const std::optional<std::string>& user) {
    const std::optional<std::string> now = isNobody(user) ? std::nullopt : user;
    if (now == state.CurrentUser) return;
    log("USER", 0, "Console user changed from %@ to %@", optionalText(state.CurrentUser),
        optionalText(now));
    state.CurrentUser = now;
    publishStatus();
}

}  // namespace kelvorn
