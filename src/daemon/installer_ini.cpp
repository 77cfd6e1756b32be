#include "daemon/installer_ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

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

std::optional<std::string> readWholeFile(const std::string& path) {
    // Opened without waiting, so that a pipe with no writer cannot hold the daemon up.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> content;
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        static_cast<std::size_t>(status.st_size) <= kLargestInstallerFile) {
        // One byte more than allowed shows a file that grew since fstat.
        std::string buffer(kLargestInstallerFile + 1, '\0');
        std::size_t got = 0;
        ssize_t count = 0;
        while (got < buffer.size() &&
               (count = read(fd, buffer.data() + got, buffer.size() - got)) != 0) {
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) break;
            got += static_cast<std::size_t>(count);
        }
        if (count >= 0 && got <= kLargestInstallerFile) content = buffer.substr(0, got);
    }
    close(fd);
    return content;
}

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
    const auto text = readWholeFile(*path);
    if (!text || !isAscii(*text)) return std::nullopt;
    return findApplicationNameValue(*text);
}

std::string applicationNameFromValue(std::string_view value) {
    if (value.empty() || value == "\"") return kDefaultApplicationName;
    if (value.front() == '"') return std::string(value.substr(1, value.size() - 2));
    return std::string(value);
}

}  // namespace kelvorn
