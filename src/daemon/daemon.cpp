// The daemon object, its log, and start-up through to the run loop.
#include "daemon/daemon.h"

#include <cstdio>
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
    : platform_(platform),
      places_(std::move(places)),
      options_(std::move(options)),
      locator_(platform.applications,
               {places_.applicationsFolder, places_.usersFolder, places_.homeFolderOf},
               [this](const char* tag, int level, const char* format,
                      const std::vector<corvant::Value>& arguments) {
                   writeLog(tag, level, format, arguments);
               }) {
    state.mLogFile =
        corvant::LogFile::initWithFile(corvant::LogFile::Variant::Daemon, kLogFileName, kLogLevel,
                                       logPlaces(places_, platform_.systemLog));
}

DaemonStatus Daemon::status() const {
    return {state.activity, state.CurrentUser.value_or(""), state.MDCardListPath.value_or(""),
            state.families, options_.version};
}

void Daemon::publishStatus() {
    DaemonStatus now = status();
    if (now == publishedStatus_) return;
    if (observer_) observer_->statusChanged(publishedStatus_, now);
    publishedStatus_ = std::move(now);
}

void Daemon::writeLog(const char* tag, int level, const char* format,
                      const std::vector<corvant::Value>& arguments) {
    if (options_.logObserver) {
        options_.logObserver(LogRecord{tag, level, corvant::formatMessage(format, arguments)});
    }
    if (state.mLogFile) state.mLogFile->writeLine(tag, level, format, arguments);
}

void DaemonOptions::explainOnStandardError(const std::string& reason) {
    std::fprintf(stderr, "Kelvorn: %s\n", reason.c_str());
    std::fflush(stderr);
}

int Daemon::endWith(int status, const std::string& reason) {
    if (options_.explainExit) {
        options_.explainExit(reason + " (exit status " + std::to_string(status) + ")");
    }
    return status;
}

int Daemon::run() {
    log("USER", 0, "Starting up Deamon Process [Version - %@]", kDaemonVersion);
    publishedStatus_ = status();
    if (options_.answerQueries) observer_ = options_.answerQueries(*this);
    if (options_.takeServiceName) {
        if (auto refusal = options_.takeServiceName()) {
            log("USER", 1, "%@", *refusal);
            return endWith(kExitServiceNameRefused, *refusal);
        }
    }
    AddSleepNotification();
    followConsoleUser();
    if (!AddMBCardNotification()) {
        return endWith(kExitNoCardList,
                       "the Solvane client's supported-card list (MDCardList) was not found");
    }
    platform_.runLoop.run();
    state.mLogFile.reset();
    return 0;
}

int runDaemon(Platform& platform, const DaemonPlaces& places) {
    return runDaemon(platform, places, DaemonOptions{});
}

int runDaemon(Platform& platform, const DaemonPlaces& places, DaemonOptions options) {
    Daemon daemon(platform, places, std::move(options));
    return daemon.run();
}

}  // namespace kelvorn
