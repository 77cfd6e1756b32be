#include "platform/linux/system_services.h"

#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "common/format.h"

namespace kelvorn::linux_backend {

void BlockingSleeper::sleepSeconds(unsigned seconds) {
    timespec remaining{static_cast<time_t>(seconds), 0};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

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

void StderrValuePrinter::show(const corvant::Value& value) {
    std::string line = corvant::describe(value) + "\n";
    std::fputs(line.c_str(), stderr);
}

}  // namespace kelvorn::linux_backend
