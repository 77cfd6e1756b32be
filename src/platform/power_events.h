// The display's power messages.
#pragma once

#include <cstdint>
#include <functional>

namespace kelvorn {

inline constexpr std::uint32_t kMessageDeviceWillPowerOff = 0xE0000210;
inline constexpr std::uint32_t kMessageDeviceHasPoweredOn = 0xE0000230;

class PowerEvents {
  public:
    using Handler = std::function<void(std::uint32_t messageType)>;
    virtual ~PowerEvents() = default;
    // Registers the handler that the run loop calls with each power message.
    virtual void addInterestNotification(Handler handler) = 0;
};

}  // namespace kelvorn
