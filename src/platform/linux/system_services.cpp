#include "platform/linux/system_services.h"

#include <syslog.h>

#include <cstdio>

#include "common/format.h"

namespace kelvorn::linux_backend {

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
