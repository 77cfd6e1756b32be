// The card list on any bytes, and the support check against it: for the device at the first path
// through its four levels, for each family's first entries, and for a fixed device.
#include "daemon/card_list.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/plist.h"
#include "doubles.h"

namespace {

using corvant::Dictionary;
using corvant::Value;

kelvorn::Daemon& daemon() {
    static kelvorn::testing::Doubles doubles;
    // No folder for the log: it stays closed, and every line is still formatted.
    static kelvorn::Daemon instance = [] {
        kelvorn::DaemonPlaces places;
        places.log.localLibrary.clear();
        places.log.systemLog = [](const std::string&) {};
        return kelvorn::Daemon(doubles.platform, places);
    }();
    return instance;
}

// The first key of `dictionary`'s entry under `key`, if that entry is a dictionary with keys.
std::optional<std::string> firstKeyBelow(const Dictionary& dictionary, const std::string& key,
                                         const Dictionary*& below) {
    below = corvant::lookup(dictionary, key).as<Dictionary>();
    if (below == nullptr || below->empty()) return std::nullopt;
    return below->begin()->first;
}

// An id as the registry gives it: a number when the text is one, else absent.
Value idOf(const std::optional<std::string>& text) {
    if (!text) return Value();
    try {
        std::size_t used = 0;
        const long long number = std::stoll(*text, &used);
        return used == text->size() ? Value(number) : Value();
    } catch (...) {
        return Value();
    }
}

void checkFirstPathOf(const Dictionary& cardList, const std::string& family) {
    const Dictionary* suffixes = nullptr;
    const Dictionary* vendors = nullptr;
    const Dictionary* products = nullptr;
    const auto suffix = firstKeyBelow(cardList, family, suffixes);
    const auto vendor =
        suffixes && suffix ? firstKeyBelow(*suffixes, *suffix, vendors) : std::nullopt;
    const auto product =
        vendors && vendor ? firstKeyBelow(*vendors, *vendor, products) : std::nullopt;
    daemon().checkIfDeviceIsSupported(cardList, family, suffix, idOf(vendor), idOf(product));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kelvorn::kMaxCardListBytes) return -1;
    const auto parsed =
        corvant::parsePropertyList(std::string(reinterpret_cast<const char*>(data), size));
    const Dictionary* cardList = parsed ? parsed->as<Dictionary>() : nullptr;
    if (cardList == nullptr) return 0;
    int families = 0;
    for (const auto& entry : *cardList) {
        if (++families > 8) break;
        checkFirstPathOf(*cardList, entry.first);
    }
    daemon().checkIfDeviceIsSupported(*cardList, std::string("ttyUSB"), std::string("0"),
                                      Value(4817), Value(5382));
    return 0;
}
