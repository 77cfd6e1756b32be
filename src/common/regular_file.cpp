#include "common/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace corvant {

bool readRegularFileInPieces(const std::string& path, LinkAtPath link, std::uint64_t maxBytes,
                             const std::function<bool(const char*, std::size_t)>& take) {
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                      (link == LinkAtPath::Refuse ? O_NOFOLLOW : 0);
    const int descriptor = ::open(path.c_str(), flags);
    if (descriptor < 0) return false;
    struct stat status {};
    // What the descriptor is, not what the path was when looked at before: no race with a swap.
    bool readable = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
                    static_cast<std::uint64_t>(status.st_size) <= maxBytes;
    std::uint64_t total = 0;
    char buffer[1 << 16];
    while (readable) {
        const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            readable = got == 0;
            break;
        }
        total += static_cast<std::uint64_t>(got);
        // Checked while reading too, in case the file grows after fstat.
        readable = total <= maxBytes && take(buffer, static_cast<std::size_t>(got));
    }
    ::close(descriptor);
    return readable;
}

bool writeAll(int descriptor, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(descriptor, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) {
    std::string bytes;
    const bool read = readRegularFileInPieces(path, LinkAtPath::Follow, maxBytes,
                                              [&bytes](const char* piece, std::size_t size) {
                                                  bytes.append(piece, size);
                                                  return true;
                                              });
    if (!read) return std::nullopt;
    return bytes;
}

}  // namespace corvant
