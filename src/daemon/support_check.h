// The four-level look-up of a device in the supported-card list, without log lines: the daemon's
// check logs the step that decided, and kelvornctl prints it.
#pragma once

#include <optional>
#include <string>

#include "common/value.h"

namespace kelvorn {

// The step of the look-up that decided; Supported when the product is listed.
enum class SupportStep { Family, Suffix, Vendor, Product, Supported };

struct SupportVerdict {
    SupportStep decidedAt = SupportStep::Family;
    // For a supported device: the card list's value for its product when it is a string.
    std::string model;
    bool supported() const { return decidedAt == SupportStep::Supported; }
};

// Ids are listed by their ordinary decimal text; an absent id, or one that is not a whole number,
// has none.
std::optional<std::string> decimalText(const corvant::Value& id);

// Looks up family, suffix, vendor id and product id, each in the dictionary the step before
// selected. Keys compare exactly; an entry that holds no dictionary counts as one without keys.
SupportVerdict lookUpDevice(const corvant::Dictionary& cardList,
                            const std::optional<std::string>& baseName,
                            const std::optional<std::string>& suffix,
                            const corvant::Value& vendorId, const corvant::Value& productId);

}  // namespace kelvorn
