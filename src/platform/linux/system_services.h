// The C library's services: waiting, the system log, printing a value on standard error.
#pragma once

#include <string>

#include "platform/system_services.h"

namespace kelvorn::linux_backend {

class BlockingSleeper final : public Sleeper {
  public:
    // Waits the full time, also when a signal interrupts the wait.
    void sleepSeconds(unsigned seconds) override;
};

class Syslog final : public SystemLog {
  public:
    explicit Syslog(const char* identity = "Kelvorn");
    ~Syslog() override;
    Syslog(const Syslog&) = delete;
    Syslog& operator=(const Syslog&) = delete;
    void alert(const std::string& message) override;
};

class StderrValuePrinter final : public ValuePrinter {
  public:
    void show(const corvant::Value& value) override;
};

}  // namespace kelvorn::linux_backend
