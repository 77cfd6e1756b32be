// How the daemon reads a serial device from the registry: its family and suffix, and where above
// it the USB vendor and product ids are found. kelvornctl reads devices with the same functions.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "common/value.h"
#include "platform/device_registry.h"

namespace kelvorn {

// What stands for an empty IOTTYSuffix in the card list.
inline constexpr const char* kNoSuffix = "NO SUFFIX NAME PRESENT IN IOREG";

// The base name: IOTTYBaseName when it is a string.
std::optional<std::string> baseNameOf(const corvant::Value& property);
// The suffix: IOTTYSuffix when it is a string, kNoSuffix for the empty one.
std::optional<std::string> suffixOf(const corvant::Value& property);

struct IdSearch {
    corvant::Value vendor;
    corvant::Value product;
    // The entry where the ids were found; null when no entry had a product id. The ids are then
    // those of the last entry looked at.
    std::shared_ptr<RegistryEntry> entry;
    // Whether the fourth ancestor had them.
    bool probable = false;
};

// The fourth ancestor when it has a product id; otherwise the first of the serial entry and its
// seven nearest ancestors that has one.
IdSearch searchDeviceIds(const std::shared_ptr<RegistryEntry>& serialEntry);

}  // namespace kelvorn
