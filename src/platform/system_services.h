// Small services of the C library: waiting, the system log, and printing a value's description.
#pragma once

#include <string>

#include "common/value.h"

namespace kelvorn {

class Sleeper {
  public:
    virtual ~Sleeper() = default;
    virtual void sleepSeconds(unsigned seconds) = 0;
};

class SystemLog {
  public:
    virtual ~SystemLog() = default;
    // One line to the system log at the alert level (LOG_ALERT).
    virtual void alert(const std::string& message) = 0;
};

class ValuePrinter {
  public:
    virtual ~ValuePrinter() = default;
    // Prints the value's description on standard error.
    virtual void show(const corvant::Value& value) = 0;
};

}  // namespace kelvorn
