// Posting a notification to the client application in every login session.
#pragma once

#include <string>

#include "common/value.h"

namespace kelvorn {

// Option value 2: deliver to observers in every login session.
inline constexpr unsigned kPostToAllSessions = 2;

class NotificationCenter {
  public:
    virtual ~NotificationCenter() = default;
    // Posts `name` with no object and `userInfo`; false when it could not be handed on.
    virtual bool postNotification(const std::string& name, const corvant::Dictionary& userInfo,
                                  unsigned options) = 0;
};

}  // namespace kelvorn
