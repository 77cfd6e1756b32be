// Reading the supported-card list.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/plist.h"

namespace kelvorn {

// A card list larger than this counts as unreadable: real ones hold a few hundred entries, and a
// huge one would make every arrival batch build a tree of that size.
inline constexpr std::size_t kMaxCardListBytes = std::size_t{4} << 20;

inline std::optional<corvant::Dictionary> readCardList(const std::string& path) {
    return corvant::readDictionaryFromFile(path, kMaxCardListBytes);
}

}  // namespace kelvorn
