// The four-level supported-card list: family, suffix, vendor id, product id.
#include <string>

#include "daemon/daemon.h"

namespace kelvorn {

namespace {

// The dictionary under `key`: null when the key is missing. An entry that holds some other kind of
// value counts as a dictionary without keys.
const corvant::Dictionary* level(const corvant::Dictionary& dictionary,
                                 const std::optional<std::string>& key) {
    static const corvant::Dictionary noKeys;
    if (!key) return nullptr;
    const auto found = dictionary.find(*key);
    if (found == dictionary.end()) return nullptr;
    const auto* inner = found->second.as<corvant::Dictionary>();
    return inner ? inner : &noKeys;
}

// Ids are listed by their ordinary decimal text; an absent id, or one that is not a whole number,
// has none.
std::optional<std::string> decimalText(const corvant::Value& id) {
    if (const auto* number = id.as<std::int64_t>()) return std::to_string(*number);
    return std::nullopt;
}

}  // namespace

bool Daemon::checkIfDeviceIsSupported(const corvant::Dictionary& cardList,
                                      const std::optional<std::string>& baseName,
                                      const std::optional<std::string>& suffix,
                                      const corvant::Value& vendorId,
                                      const corvant::Value& productId) {
    const auto* family = level(cardList, baseName);
    if (!family) {
        log("DEBUG", 2,
            "%@ family is not supported by Solvane , Please change the config file accordingly",
            optionalText(baseName));
        return false;
    }
    const auto* suffixes = level(*family, suffix);
    if (!suffixes) {
        log("DEBUG", 2,
            "%@ suffix is not supported by %@ family by Solvane , Please change the config file "
            "accordingly",
            optionalText(suffix), optionalText(baseName));
        return false;
    }
    const auto vendorText = decimalText(vendorId);
    const auto* products = level(*suffixes, vendorText);
    if (!products) {
        log("DEBUG", 2,
            "vendor id is not supported by Solvane , please reconfigure MDCardlist.plist");
        return false;
    }
    log("DEBUG", 2, "Found Supported Vendor ID");
    const auto productText = decimalText(productId);
    if (!productText || !products->contains(*productText)) {
        log("DEBUG", 2,
            "Product id is not supported by Solvane , please reconfigure MDCardlist.plist");
        log("USER", 0, "DEVICE NOT SUPPORTED");
        return false;
    }
    log("DEBUG", 2, "Found Supported Product id found");
    log("USER", 0, "DEVICE SUPPORTED");
    return true;
}

}  // namespace kelvorn
