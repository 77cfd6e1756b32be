#include "patcher/bundle_version.h"

#include <algorithm>

#include "common/plist.h"

namespace ostrel {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isSeparator(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x80 && !isDigit(c) && !((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

char lowered(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
}

struct Token {
    bool isNumber;
    std::string_view text;  // a number's without its leading zeros
};

// Takes the next number or word off the front of `rest`; past its end, the number zero.
Token nextToken(std::string_view& rest) {
    std::size_t start = 0;
    while (start < rest.size() && isSeparator(rest[start])) ++start;
    rest.remove_prefix(start);
    if (rest.empty()) return {true, {}};
    const bool number = isDigit(rest.front());
    std::size_t end = 1;
    while (end < rest.size() && !isSeparator(rest[end]) && isDigit(rest[end]) == number) ++end;
    std::string_view text = rest.substr(0, end);
    rest.remove_prefix(end);
    if (number) text.remove_prefix(std::min(text.find_first_not_of('0'), text.size()));
    return {number, text};
}

std::strong_ordering compareTokens(const Token& left, const Token& right) {
    if (left.isNumber != right.isNumber)
        return left.isNumber ? std::strong_ordering::greater : std::strong_ordering::less;
    if (left.isNumber && left.text.size() != right.text.size())
        return left.text.size() <=> right.text.size();
    return std::lexicographical_compare_three_way(
        left.text.begin(), left.text.end(), right.text.begin(), right.text.end(),
        [](char a, char b) { return lowered(a) <=> lowered(b); });
}

}  // namespace

std::optional<std::string> bundleVersion(const std::string& bundle, std::string& why) {
    const std::string path = bundle + "/Contents/Info.plist";
    std::optional<corvant::Dictionary> info = corvant::readDictionaryFromFile(path);
    if (!info) {
        why = path + " cannot be read as a property list";
        return std::nullopt;
    }
    for (const char* key : {"CFBundleVersion", "CFBundleShortVersionString"}) {
        const std::string* text = corvant::lookup(*info, key).as<std::string>();
        if (text != nullptr && !text->empty()) return *text;
    }
    why = path + " names no version (neither CFBundleVersion nor CFBundleShortVersionString)";
    return std::nullopt;
}

std::strong_ordering compareVersions(std::string_view left, std::string_view right) {
    while (!left.empty() || !right.empty()) {
        Token a = nextToken(left);
        Token b = nextToken(right);
        if (auto order = compareTokens(a, b); order != 0) return order;
    }
    return std::strong_ordering::equal;
}

}  // namespace ostrel
