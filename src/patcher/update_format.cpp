#include "patcher/update_format.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace ostrel {

namespace fs = std::filesystem;

std::string patchOf(const std::string& updateFolder, const std::string& relative) {
    return updateFolder + "/" + kPatchesFolderName + "/" + relative;
}

namespace {

bool walk(const std::string& root, const std::string& relative, BundleListing& listing,
          std::string& error, AbsentBundle absent) {
    std::string path = relative.empty() ? root : root + "/" + relative;
    struct stat top {};
    if (relative.empty() && absent == AbsentBundle::HoldsNothing &&
        ::lstat(root.c_str(), &top) == 0 && !S_ISDIR(top.st_mode)) {
        error = root + " is not a folder";
        return false;
    }
    std::error_code code;
    for (fs::directory_iterator it(path, code), end; !code && it != end; it.increment(code)) {
        std::string name = it->path().filename().string();
        std::string child = relative.empty() ? name : relative + "/" + name;
        struct stat status {};
        if (::lstat((root + "/" + child).c_str(), &status) != 0) {
            error = root + "/" + child + " cannot be read";
            return false;
        }
        BundleItem item;
        item.mode = status.st_mode & 07777;
        if (S_ISREG(status.st_mode)) {
            item.kind = ItemKind::File;
            item.size = status.st_size;
        } else if (S_ISDIR(status.st_mode)) {
            item.kind = ItemKind::Folder;
        } else if (S_ISLNK(status.st_mode)) {
            item.kind = ItemKind::Link;
            item.target = fs::read_symlink(root + "/" + child, code).string();
        }
        listing.emplace(child, item);
        if (item.kind == ItemKind::Folder && !walk(root, child, listing, error, absent))
            return false;
    }
    if (code && !(relative.empty() && absent == AbsentBundle::HoldsNothing &&
                  code == std::errc::no_such_file_or_directory)) {
        error = path + " cannot be read: " + code.message();
        return false;
    }
    return true;
}

}  // namespace

const char* kindName(ItemKind kind) {
    switch (kind) {
        case ItemKind::File:
            return "file";
        case ItemKind::Folder:
            return "folder";
        case ItemKind::Link:
            return "link";
        case ItemKind::Other:
            break;
    }
    return "special file";
}

bool walkBundle(const std::string& root, BundleListing& listing, std::string& error,
                AbsentBundle absent) {
    return walk(root, "", listing, error, absent);
}

}  // namespace ostrel
