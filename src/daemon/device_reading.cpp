#include "daemon/device_reading.h"

namespace kelvorn {

namespace {

// The USB device usually sits four entries above its serial entry.
constexpr int kProbableAncestor = 4;
// The full walk looks at the serial entry and its seven nearest ancestors.
constexpr int kEntriesWalked = 8;

std::optional<std::string> textOf(const corvant::Value& value) {
    if (const auto* text = value.as<std::string>()) return *text;
    return std::nullopt;
}

bool hasProductId(const RegistryEntry& entry) {
    return !entry.property("idProduct").isAbsent();
}

}  // namespace

std::optional<std::string> baseNameOf(const corvant::Value& property) {
    return textOf(property);
}

std::optional<std::string> suffixOf(const corvant::Value& property) {
    auto suffix = textOf(property);
    if (suffix && suffix->empty()) suffix = kNoSuffix;
    return suffix;
}

IdSearch searchDeviceIds(const std::shared_ptr<RegistryEntry>& serialEntry) {
    std::shared_ptr<RegistryEntry> ancestor = serialEntry;
    for (int step = 0; step < kProbableAncestor && ancestor; ++step) ancestor = ancestor->parent();
    if (ancestor && hasProductId(*ancestor)) {
        return {ancestor->property("idVendor"), ancestor->property("idProduct"), ancestor, true};
    }
    IdSearch lastRead;
    std::shared_ptr<RegistryEntry> current = serialEntry;
    for (int walked = 0; walked < kEntriesWalked && current; ++walked) {
        lastRead = {current->property("idVendor"), current->property("idProduct"), nullptr, false};
        if (!lastRead.product.isAbsent()) {
            lastRead.entry = current;
            return lastRead;
        }
        current = current->parent();
    }
    return lastRead;
}

}  // namespace kelvorn
