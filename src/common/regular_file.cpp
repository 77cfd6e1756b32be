#include "common/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace corvant {

std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    std::string bytes;
    struct stat status {};
    // What the descriptor is, not what the path was when looked at before: no race with a swap.
    bool readable = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
                    static_cast<std::uint64_t>(status.st_size) <= maxBytes;
    char buffer[16384];
    while (readable) {
        const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            readable = got == 0;
            break;
        }
        // Checked while reading too, in case the file grows after fstat.
        readable = bytes.size() + static_cast<std::size_t>(got) <= maxBytes;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(descriptor);
    if (!readable) return std::nullopt;
    return bytes;
}

}  // namespace corvant
