// The four-level supported-card list: family, suffix, vendor id, product id.
#include "daemon/support_check.h"

#include <cstdint>
#include <string>

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

}  // namespace kelvorn
