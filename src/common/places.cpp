// Well-known folders and small file-system questions.
#include "common/places.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace corvant {
namespace {

// The password database's entry found by `lookUp` (getpwuid_r or getpwnam_r), with a buffer that
// grows as the entry needs.
template <typename LookUp>
std::string passwordDatabaseHome(LookUp lookUp) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    for (;;) {
        int error = lookUp(&entry, buffer.data(), buffer.size(), &found);
        if (error != ERANGE || buffer.size() >= (1u << 20)) break;
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr || found->pw_dir == nullptr) return {};
    return found->pw_dir;
}

}  // namespace

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    return passwordDatabaseHome([](passwd* entry, char* buffer, std::size_t size, passwd** found) {
        return getpwuid_r(geteuid(), entry, buffer, size, found);
    });
}

std::optional<std::string> homeDirectoryOf(const std::string& user) {
    if (user.empty()) return std::nullopt;
    std::string home = passwordDatabaseHome(
        [&user](passwd* entry, char* buffer, std::size_t size, passwd** found) {
            return getpwnam_r(user.c_str(), entry, buffer, size, found);
        });
    if (home.empty() || home.front() != '/') return std::nullopt;
    return home;
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return !path.empty() && stat(path.c_str(), &status) == 0;
}

bool directoryExists(const std::string& path) {
    struct stat status {};
    return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace corvant
