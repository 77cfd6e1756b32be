// The console changing hands: another user's session made the active one (a desktop's "switch
// user"), the login screen shown, or the session ended.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kelvorn {

class ConsoleChanges {
  public:
    // Called with the console user as ConsoleUser::copyConsoleUser answers it at that moment.
    using Handler = std::function<void(const std::optional<std::string>& user)>;
    virtual ~ConsoleChanges() = default;
    // Registers the handler that the run loop calls after each change of the active session.
    virtual void addConsoleChangeNotification(Handler handler) = 0;
};

}  // namespace kelvorn
