// The C library's services and the bus: waiting, the system log, printing a value on standard
// error.
#pragma once

#include <string>

#include "platform/linux/system_bus.h"
#include "platform/system_services.h"

namespace kelvorn::linux_backend {

// Waits the full time while answering the calls that reach the daemon's own connection (its
// introspection data); device and power events wait in their queues until the wait is over.
class BusServingSleeper final : public Sleeper {
  public:
    explicit BusServingSleeper(SystemBus& bus) : bus_(bus) {}
    void sleepSeconds(unsigned seconds) override { bus_.serveFor(seconds); }

  private:
    SystemBus& bus_;
};

class Syslog final : public SystemLog {
  public:
    explicit Syslog(const char* identity = "Kelvorn");
    ~Syslog() override;
    Syslog(const Syslog&) = delete;
    Syslog& operator=(const Syslog&) = delete;
    void alert(const std::string& message) override;
};

// When standard error is a stream into the journal, every line printed starts with "<7>", which the
// journal reads as the debug priority: the per-device prints then stay out of the info level. On a
// terminal, a file or a pipe the lines are printed as they are.
class StderrValuePrinter final : public ValuePrinter {
  public:
    StderrValuePrinter();
    void show(const corvant::Value& value) override;

  private:
    std::string linePrefix_;
};

}  // namespace kelvorn::linux_backend
