// What anyone on the system may ask the daemon: the supported serial ports present now, and what
// it is doing. The daemon keeps the answers; a backend serves them to its callers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvorn {

// A serial port whose arrival the support check found supported, as the daemon read it.
struct SupportedPort {
    // The registry entry's identity, which its removal carries too: the tty's sysfs path.
    std::string identity;
    // The identity of the entry where the USB ids were found: the same for every port of one USB
    // device.
    std::string card;
    std::int64_t vendorId = 0;
    std::int64_t productId = 0;
    // The device node to open ("/dev/ttyUSB2"); empty when the registry gives none.
    std::string device;
    std::string baseName;
    std::string suffix;
    // The card list's value for the product when it is a string; empty otherwise.
    std::string model;
};

inline constexpr const char* kWaitingForUser = "waiting-for-user";
inline constexpr const char* kSettling = "settling";
inline constexpr const char* kWatching = "watching";

struct DaemonStatus {
    // kWaitingForUser, kSettling or kWatching.
    std::string state;
    // Empty before a console user was seen.
    std::string consoleUser;
    // The card list in use; empty before it was located.
    std::string cardList;
    // The number of families the card list held when it was located: at start-up, and again when
    // the daemon looked for a card list that was gone.
    std::int32_t families = 0;
    // The daemon's release.
    std::string version;

    bool operator==(const DaemonStatus&) const = default;
};

class DeviceQueries {
  public:
    virtual ~DeviceQueries() = default;
    // In arrival order.
    virtual const std::vector<SupportedPort>& supportedPorts() const = 0;
    virtual DaemonStatus status() const = 0;
};

// Hears each change of the answers as it happens, so that a backend can announce it.
class DeviceQueriesObserver {
  public:
    virtual ~DeviceQueriesObserver() = default;
    virtual void portListed(const SupportedPort& port) = 0;
    virtual void portUnlisted(const SupportedPort& port) = 0;
    virtual void statusChanged(const DaemonStatus& before, const DaemonStatus& now) = 0;
};

}  // namespace kelvorn
