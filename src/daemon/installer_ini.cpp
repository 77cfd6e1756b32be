#include "daemon/installer_ini.h"

#include <algorithm>
#include <cctype>

#include "common/regular_file.h"

namespace kelvorn {

namespace {

constexpr std::string_view kApplicationNameKey = "ApplicationName";
// The key, one separator character, and at least nothing more.
constexpr std::size_t kShortestMatchingLine = kApplicationNameKey.size() + 1;

bool startsWithKeyIgnoringCase(std::string_view line) {
    return std::equal(kApplicationNameKey.begin(), kApplicationNameKey.end(), line.begin(),
                      [](char expected, char actual) {
                          return std::tolower(static_cast<unsigned char>(expected)) ==
                                 std::tolower(static_cast<unsigned char>(actual));
                      });
}

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Larger files are not installer files; nor is anything but a regular file (a device, a pipe).
constexpr std::size_t kLargestInstallerFile = 64 * 1024;

}  // namespace

std::optional<std::string> findApplicationNameValue(std::string_view text) {
    while (true) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (line.size() >= kShortestMatchingLine && startsWithKeyIgnoringCase(line)) {
            return std::string(line.substr(kShortestMatchingLine));
        }
        if (end == std::string_view::npos) return std::nullopt;
        text.remove_prefix(end + 1);
    }
}

std::optional<std::string> readApplicationNameValue(const std::optional<std::string>& path) {
    if (!path || path->empty()) return std::nullopt;
    const auto text = corvant::readRegularFile(*path, kLargestInstallerFile);
    if (!text || !isAscii(*text)) return std::nullopt;
    return findApplicationNameValue(*text);
}

std::string applicationNameFromValue(std::string_view value) {
    if (value.empty() || value == "\"") return kDefaultApplicationName;
    if (value.front() == '"') return std::string(value.substr(1, value.size() - 2));
    return std::string(value);
}

}  // namespace kelvorn
