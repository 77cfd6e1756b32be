// The daemon object, its log, and start-up through to the run loop.
#include "daemon/daemon.h"

#include <utility>

#include "common/shell.h"

namespace kelvorn {

namespace {

constexpr const char* kLogFileName = "Daemon.log";
constexpr std::int32_t kLogLevel = 2;
constexpr const char* kDaemonVersion = "Deamon 2.0";

// The log's system-log reports go where the daemon's own do unless the caller chose otherwise.
corvant::LogFile::Places logPlaces(const DaemonPlaces& places, SystemLog& systemLog) {
    corvant::LogFile::Places log = places.log;
    if (!log.systemLog) {
        log.systemLog = [&systemLog](const std::string& message) { systemLog.alert(message); };
    }
    return log;
}

}  // namespace

ShellCommands ShellCommands::realShell() {
    return ShellCommands{corvant::readCommandOutput, corvant::runShellCommand};
}

Daemon::Daemon(Platform& platform, DaemonPlaces places, DaemonOptions options)
    : platform_(platform), places_(std::move(places)), options_(std::move(options)) {
    state.mLogFile =
        corvant::LogFile::initWithFile(corvant::LogFile::Variant::Daemon, kLogFileName, kLogLevel,
                                       logPlaces(places_, platform_.systemLog));
}

void Daemon::writeLog(const char* tag, int level, const char* format,
                      const std::vector<corvant::Value>& arguments) {
    if (options_.logObserver) {
        options_.logObserver(LogRecord{tag, level, corvant::formatMessage(format, arguments)});
    }
    if (state.mLogFile) state.mLogFile->writeLine(tag, level, format, arguments);
}

int Daemon::run() {
    log("USER", 0, "Starting up Deamon Process [Version - %@]", kDaemonVersion);
    AddSleepNotification();
    if (!AddMBCardNotification()) return 1;
    platform_.runLoop.run();
    state.mLogFile.reset();
    return 0;
}

int runDaemon(Platform& platform, const DaemonPlaces& places) {
    Daemon daemon(platform, places);
    return daemon.run();
}

}  // namespace kelvorn
