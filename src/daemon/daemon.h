// Kelvorn, the card monitor daemon: its entry point and the daemon object that holds its state and
// handlers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/log_file.h"
#include "common/places.h"
#include "common/value.h"
#include "daemon/card_list_locator.h"
#include "daemon/log_line.h"
#include "daemon/state.h"
#include "daemon/support_check.h"
#include "platform/platform.h"

namespace kelvorn {

// The base folders the daemon works in. The executable passes the fixed real ones; tests hand in
// temporary folders.
struct DaemonPlaces {
    std::string applicationsFolder = kApplicationsFolder;
    std::string usersFolder = kUsersFolder;
    // Where "Daemon.log" goes; its systemLog defaults to platform.systemLog.
    corvant::LogFile::Places log;
    // The console user's home folder; none for a user without one, whose folder is then the
    // users folder and the short name.
    std::function<std::optional<std::string>(const std::string& user)> homeFolderOf =
        corvant::homeDirectoryOf;
};

// The daemon's exit statuses besides 0 (the run loop returned).
inline constexpr int kExitNoCardList = 1;
// Another process holds the daemon's service name, or the system refused it (EX_UNAVAILABLE).
inline constexpr int kExitServiceNameRefused = 69;

struct DaemonOptions;

// Creates the daemon's log and state, runs start-up and then the run loop; returns the process's
// exit status.
int runDaemon(Platform& platform, const DaemonPlaces& places = {});
int runDaemon(Platform& platform, const DaemonPlaces& places, DaemonOptions options);

// How the daemon runs its shell commands: through the real shell unless a benchmark or test swaps
// them out.
struct ShellCommands {
    // At most the given number of bytes of the command's output; the variables ("NAME=value")
    // are set for that command only.
    std::function<std::optional<std::string>(const std::string&, std::size_t,
                                             const std::vector<std::string>&)>
        readOutput;
    std::function<int(const std::string&)> run;

    static ShellCommands realShell();
};

// One line as the daemon hands it to its log.
struct LogRecord {
    std::string tag;
    int level = 0;
    std::string message;
};

struct DaemonOptions {
    ShellCommands commands = ShellCommands::realShell();
    // Sees every log line the daemon writes, whatever the log file does with it.
    std::function<void(const LogRecord&)> logObserver;
    // Takes the daemon's service name, after the start line and before the login wait, so that a
    // second daemon ends at once. Returns why the name cannot be had; the daemon then ends.
    std::function<std::optional<std::string>()> takeServiceName;
    // Hands the daemon's answers to its callers (the devices present, its state) to whoever serves
    // them, before the daemon takes its service name; returns who hears of each change of them
    // (none: nobody).
    std::function<DeviceQueriesObserver*(const DeviceQueries&)> answerQueries;
    // The release the status reports.
    std::string version;
    // Hears why the daemon ends, besides the log: standard error, which the service manager's
    // journal keeps, unless a test listens instead.
    std::function<void(const std::string&)> explainExit = explainOnStandardError;

    static void explainOnStandardError(const std::string& reason);
};

// Its public members and its state table (state.h) keep the names the daemon's first design gave
// its handlers and their shared state, misspellings included (mycallbacknotifaction, tempkeys,
// getMDCardListPath), so that each can be followed back to its place in that design. What the
// daemon keeps to itself, and the rest of the project, is named in the project's own style.
class Daemon final : public DeviceQueries {
  public:
    // Creates the log ("Daemon.log", level 2) and a fresh state table.
    explicit Daemon(Platform& platform, DaemonPlaces places = {}, DaemonOptions options = {});

    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Start-up, then the run loop; the process's exit status.
    int run();

    // Power watch.
    void AddSleepNotification();
    void displayPowerNotificationsCallback(std::uint32_t messageType);

    // Blocks until a real console user is logged in, records it, then waits 30 seconds unless a
    // display power-off was recorded.
    void checkIfUserHasLoggedIn();

    // Follows the console after the login wait: each change of the active session makes its user
    // (nobody for the login screen or no session) the console user, with one log line.
    void followConsoleUser();
    void consoleUserChanged(const std::optional<std::string>& user);

    // Location of the card list and of installer.ini, for the console user recorded.
    std::string getMDCardListPath() { return locator_.cardListPath(state.CurrentUser); }
    std::optional<std::string> getInstallerINIPath() {
        return locator_.installerINIPath(state.CurrentUser);
    }
    std::string parseApplicationNameFromInstallerINIFile(const std::optional<std::string>& path) {
        return locator_.applicationNameIn(path);
    }
    std::string constructMDCardListPath(const std::optional<std::string>& applicationName) {
        return locator_.cardListPathFor(applicationName);
    }
    bool issupportedfilepresent(const std::optional<std::string>& path) {
        return locator_.isCardListPresent(path);
    }

    // Whether the console user's client application runs, by the process listing filtered by its
    // name; the listing is of the console user's processes (every user's when nobody is there).
    bool isSolvaneRunning(const std::optional<std::string>& installerINIPath);

    // Looks the device up in the card list's four levels, logging the step that decided.
    bool checkIfDeviceIsSupported(const corvant::Dictionary& cardList,
                                  const std::optional<std::string>& baseName,
                                  const std::optional<std::string>& suffix,
                                  const corvant::Value& vendorId, const corvant::Value& productId);

    // Device arrival and removal handlers; each drains its batch.
    void mycallbacknotifaction(DeviceIterator& iterator);
    void mycallbacktermination(DeviceIterator& iterator);

    // Waits for the console user, checks the card list and arms the serial-device watch. False when
    // there is no card list: the daemon must then end with status 1.
    bool AddMBCardNotification();

    // Locates the card list with start-up's log lines. When something is there, remembers its path
    // and number of families and returns the list as read (empty when it cannot be read); none
    // when nothing is at the path found.
    std::optional<corvant::Dictionary> locateCardList();

    // The answers to callers on the bus.
    const std::vector<SupportedPort>& supportedPorts() const override {
        return state.supportedPorts;
    }
    DaemonStatus status() const override;

    DaemonState state;

  private:
    struct DeviceIds {
        corvant::Value vendor;
        corvant::Value product;
        // The entry where the ids were found; null when no entry had a product id.
        std::shared_ptr<RegistryEntry> entry;
    };

    template <typename... Args>
    void log(const char* tag, int level, const char* format, const Args&... arguments) {
        writeLog(tag, level, format, std::vector<corvant::Value>{corvant::Value(arguments)...});
    }
    void writeLog(const char* tag, int level, const char* format,
                  const std::vector<corvant::Value>& arguments);
    int endWith(int status, const std::string& reason);
    template <typename... Args>
    void systemLog(const char* format, const Args&... arguments) {
        platform_.systemLog.alert(corvant::formatString(format, arguments...));
    }

    void handleArrivedDevice(const std::shared_ptr<RegistryEntry>& entry,
                             const corvant::Dictionary& cardList);
    DeviceIds findDeviceIds(const std::shared_ptr<RegistryEntry>& entry);
    void recordDeviceIds(const DeviceIds& ids);
    // The support check with its log lines.
    SupportVerdict checkDevice(const corvant::Dictionary& cardList,
                               const std::optional<std::string>& baseName,
                               const std::optional<std::string>& suffix,
                               const corvant::Value& vendorId, const corvant::Value& productId);
    void listSupportedPort(const RegistryEntry& entry, const std::string& baseName,
                           const std::string& suffix, const DeviceIds& ids,
                           const std::string& model);
    void unlistSupportedPort(const RegistryEntry& entry);
    // Tells the observer of a status that differs from the one it heard last.
    void publishStatus();
    corvant::Dictionary userInformation() const;
    void announceArrival();
    bool launchClient(const std::optional<std::string>& installerINIPath);
    void rememberCard(const DeviceIds& ids);
    std::optional<DaemonState::AnnouncedCard> forgetCardOf(
        const std::shared_ptr<RegistryEntry>& entry);
    void logPostFailure(const char* name);

    Platform& platform_;
    const DaemonPlaces places_;
    const DaemonOptions options_;
    const CardListLocator locator_;
    // The iterators of the two device registrations, held for the life of the daemon.
    std::shared_ptr<DeviceIterator> arrivalIterator_;
    std::shared_ptr<DeviceIterator> removalIterator_;
    DeviceQueriesObserver* observer_ = nullptr;
    DaemonStatus publishedStatus_;
};

}  // namespace kelvorn
