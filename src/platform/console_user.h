// The user logged in at the console.
#pragma once

#include <optional>
#include <string>

namespace kelvorn {

class ConsoleUser {
  public:
    virtual ~ConsoleUser() = default;
    // The console user's short name, or none. Each call asks afresh.
    virtual std::optional<std::string> copyConsoleUser() = 0;
};

}  // namespace kelvorn
