#include "patcher/removal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace ostrel {

namespace fs = std::filesystem;

namespace {

// Whether the user can remove the items inside `folder`: write and search access, or ownership,
// which lets the user grant them first.
bool itemsRemovable(const std::string& folder, const struct statx& status) {
    return status.stx_uid == ::geteuid() ||
           ::faccessat(AT_FDCWD, folder.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == 0;
}

}  // namespace

void makeFoldersWritable(const std::string& path) {
    std::error_code ignored;
    if (!fs::is_directory(fs::symlink_status(path, ignored))) return;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(path, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
}

std::optional<std::string> firstUnremovableItem(const std::string& path) {
    struct statx status {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_UID, &status) != 0)
        return std::nullopt;
    if (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) return path;
    if (!S_ISDIR(status.stx_mode)) return std::nullopt;
    std::error_code error;
    fs::directory_iterator it(path, error);
    bool empty = !error && it == fs::directory_iterator();
    if (!empty && !itemsRemovable(path, status)) return path;
    for (fs::directory_iterator end; !error && it != end; it.increment(error))
        if (auto item = firstUnremovableItem(it->path().string())) return item;
    return std::nullopt;
}

}  // namespace ostrel
