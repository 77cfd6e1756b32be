// The update's manifest on any bytes: read as a property list within the update's bounds, and
// every item and the description's record taken from it, as the check reads a manifest once its
// signature holds (or where no key asks for one).
#include "patcher/manifest.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "patcher/update_description.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string why;
    std::optional<std::size_t> items = ostrel::manifestItemCount(bytes, why);
    // A manifest is read whole or refused with one line, never both, never neither.
    if (items.has_value() == !why.empty()) std::abort();
    if (items && *items > ostrel::kMaxUpdateEntries) std::abort();
    return 0;
}
