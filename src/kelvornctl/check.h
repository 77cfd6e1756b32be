// kelvornctl check: every serial port present, read and checked against the card list with the
// daemon's own functions, and the one step that decided.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/value.h"
#include "daemon/support_check.h"
#include "platform/device_registry.h"

namespace kelvornctl {

struct PortCheck {
    std::string device;
    std::optional<std::string> baseName;
    std::optional<std::string> suffix;
    corvant::Value vendor;
    corvant::Value product;
    kelvorn::SupportVerdict verdict;
};

// Reads each serial entry as the daemon's arrival handler does and looks it up in `cardList`.
std::vector<PortCheck> checkPorts(
    const std::vector<std::shared_ptr<kelvorn::RegistryEntry>>& entries,
    const corvant::Dictionary& cardList);

// The step that decided, in a line: "family ttyS not in the card list", "suffix 2 not listed for
// ttyUSB", "vendor 4817 not listed for ttyUSB/0", "product 5382 not listed under vendor 4817",
// "supported: Model E1550".
std::string verdictText(const PortCheck& port);

}  // namespace kelvornctl
