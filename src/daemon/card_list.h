// Reading the supported-card list.
#pragma once

#include <malloc.h>

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

// Hands the memory freed during an arrival batch (the card list's tree above all) back to the
// system when it goes out of scope, so the daemon's size returns to what it is when idle.
struct ReleaseFreedMemoryAfterBatch {
    ReleaseFreedMemoryAfterBatch() = default;
    ReleaseFreedMemoryAfterBatch(const ReleaseFreedMemoryAfterBatch&) = delete;
    ReleaseFreedMemoryAfterBatch& operator=(const ReleaseFreedMemoryAfterBatch&) = delete;
    ~ReleaseFreedMemoryAfterBatch() { malloc_trim(0); }
};

}  // namespace kelvorn
