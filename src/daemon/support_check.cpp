// The four-level supported-card list: family, suffix, vendor id, product id.
#include "daemon/support_check.h"

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

}  // namespace

std::optional<std::string> decimalText(const corvant::Value& id) {
    if (const auto* number = id.as<std::int64_t>()) return std::to_string(*number);
    return std::nullopt;
}

SupportVerdict lookUpDevice(const corvant::Dictionary& cardList,
                            const std::optional<std::string>& baseName,
                            const std::optional<std::string>& suffix,
                            const corvant::Value& vendorId, const corvant::Value& productId) {
    const auto* family = level(cardList, baseName);
    if (!family) return {SupportStep::Family, {}};
    const auto* suffixes = level(*family, suffix);
    if (!suffixes) return {SupportStep::Suffix, {}};
    const auto* products = level(*suffixes, decimalText(vendorId));
    if (!products) return {SupportStep::Vendor, {}};
    const auto productText = decimalText(productId);
    if (!productText) return {SupportStep::Product, {}};
    const auto product = products->find(*productText);
    if (product == products->end()) return {SupportStep::Product, {}};
    const auto* model = product->second.as<std::string>();
    return {SupportStep::Supported, model ? *model : std::string()};
}

SupportVerdict Daemon::checkDevice(const corvant::Dictionary& cardList,
                                   const std::optional<std::string>& baseName,
                                   const std::optional<std::string>& suffix,
                                   const corvant::Value& vendorId,
                                   const corvant::Value& productId) {
    SupportVerdict verdict = lookUpDevice(cardList, baseName, suffix, vendorId, productId);
    switch (verdict.decidedAt) {
        case SupportStep::Family:
            log("DEBUG", 2,
                "%@ family is not supported by Solvane , Please change the config file "
                "accordingly",
                optionalText(baseName));
            break;
        case SupportStep::Suffix:
            log("DEBUG", 2,
                "%@ suffix is not supported by %@ family by Solvane , Please change the config "
                "file accordingly",
                optionalText(suffix), optionalText(baseName));
            break;
        case SupportStep::Vendor:
            log("DEBUG", 2,
                "vendor id is not supported by Solvane , please reconfigure MDCardlist.plist");
            break;
        case SupportStep::Product:
            log("DEBUG", 2, "Found Supported Vendor ID");
            log("DEBUG", 2,
                "Product id is not supported by Solvane , please reconfigure MDCardlist.plist");
            log("USER", 0, "DEVICE NOT SUPPORTED");
            break;
        case SupportStep::Supported:
            log("DEBUG", 2, "Found Supported Vendor ID");
            log("DEBUG", 2, "Found Supported Product id found");
            log("USER", 0, "DEVICE SUPPORTED");
            break;
    }
    return verdict;
}

bool Daemon::checkIfDeviceIsSupported(const corvant::Dictionary& cardList,
                                      const std::optional<std::string>& baseName,
                                      const std::optional<std::string>& suffix,
                                      const corvant::Value& vendorId,
                                      const corvant::Value& productId) {
    return checkDevice(cardList, baseName, suffix, vendorId, productId).supported();
}

}  // namespace kelvorn
