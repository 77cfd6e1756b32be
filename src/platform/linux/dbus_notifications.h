// Posting a notification as a broadcast signal on the system bus, which reaches every login
// session: body (s a{sv}), the notification's name and its user information.
#pragma once

#include <systemd/sd-bus.h>

#include <string>

#include "platform/linux/system_bus.h"
#include "platform/notification_center.h"

namespace kelvorn::linux_backend {

inline constexpr const char* kNotificationPath = "/com/Corvant/Kelvorn";
inline constexpr const char* kNotificationInterface = "com.Corvant.Kelvorn.Notifications";
inline constexpr const char* kNotificationMember = "Posted";

// Appends `dictionary` to `message` as a{sv}: strings as s, integers as x, reals and dates as d,
// booleans as b, data as ay, arrays as av, dictionaries as a{sv}; absent values are left out.
// Negative errno on failure.
int appendUserInfo(sd_bus_message* message, const corvant::Dictionary& dictionary);

// Reads an a{sv} from `message` into `dictionary`, the inverse of appendUserInfo for what it
// writes (arrays and nested dictionaries included); other integer kinds become integers, values
// of other kinds are skipped. Negative errno on failure.
int readUserInfo(sd_bus_message* message, corvant::Dictionary& dictionary);

class DbusNotificationCenter final : public NotificationCenter {
  public:
    // Publishes the notifications' interface on kNotificationPath, so that peers can introspect it.
    explicit DbusNotificationCenter(SystemBus& bus);
    // The signal goes to every peer on the system bus whatever `options` asks. A send that fails
    // is tried once more on a new connection; false when that fails too.
    bool postNotification(const std::string& name, const corvant::Dictionary& userInfo,
                          unsigned options) override;

  private:
    bool send(const std::string& name, const corvant::Dictionary& userInfo);

    SystemBus& bus_;
};

}  // namespace kelvorn::linux_backend
