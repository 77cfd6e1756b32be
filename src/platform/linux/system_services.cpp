#include "platform/linux/system_services.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/format.h"

namespace kelvorn::linux_backend {

namespace {

// The debug priority of the journal's stream protocol (sd-daemon's SD_DEBUG).
constexpr const char* kJournalDebugPrefix = "<7>";

// The service manager names the journal stream it connected in JOURNAL_STREAM, as
// "<device>:<inode>"; standard error is that stream when its own device and inode match.
bool standardErrorIsTheJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char extra = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &extra) != 2) return false;
    struct stat status {};
    return fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

}  // namespace

Syslog::Syslog(const char* identity) {
    openlog(identity, LOG_PID, LOG_DAEMON);
}

Syslog::~Syslog() {
    closelog();
}

void Syslog::alert(const std::string& message) {
    // The message is data, never a format: it may hold names read from devices.
    syslog(LOG_ALERT, "%s", message.c_str());
}

StderrValuePrinter::StderrValuePrinter()
    : linePrefix_(standardErrorIsTheJournal() ? kJournalDebugPrefix : "") {}

void StderrValuePrinter::show(const corvant::Value& value) {
    const std::string description = corvant::describe(value);
    std::string text;
    // A description of a collection spans several lines; the journal takes each line on its own.
    std::size_t start = 0;
    while (true) {
        const std::size_t end = description.find('\n', start);
        text += linePrefix_;
        text.append(description, start, end == std::string::npos ? end : end - start + 1);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    text += "\n";
    std::fputs(text.c_str(), stderr);
}

}  // namespace kelvorn::linux_backend
