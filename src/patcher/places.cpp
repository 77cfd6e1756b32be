#include "patcher/places.h"

#include <sys/statvfs.h>

#include <filesystem>
#include <system_error>

namespace ostrel {

std::string makerSupportFolder(const Places& places) {
    return places.homeFolder + "/Library/Application Support/Corvant";
}

std::string softwareBackupPath(const Places& places) {
    return makerSupportFolder(places) + "/SoftwareBackup";
}

std::string profileBackupPath(const Places& places) {
    return makerSupportFolder(places) + "/ProfileBackup";
}

std::string userDirectoryPath(const Places& places) {
    return makerSupportFolder(places) + "/Solvane/Directory";
}

std::string patcherStatusFilePath(const Places& places) {
    return makerSupportFolder(places) + "/PatcherStatusFile.plist";
}

std::string installationInChangePath(const Places& places) {
    return makerSupportFolder(places) + "/PatchInProgress.plist";
}

std::string applicationDirectoryPath(const std::string& installedApplicationPath) {
    return installedApplicationPath +
           "/Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/Directory";
}

std::string withoutLeadingDash(const std::string& path) {
    if (path.empty() || path.front() != '-') return path;
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? "./" + path : absolute.string();
}

// Free bytes for the user on the file system that holds `path`, or its nearest existing folder.
std::optional<std::uintmax_t> freeBytes(std::string path) {
    struct statvfs info {};
    while (::statvfs(path.c_str(), &info) != 0) {
        std::string parent = deletingLastPathComponent(path);
        if (parent.empty() || parent == path) return std::nullopt;
        path = parent;
    }
    return static_cast<std::uintmax_t>(info.f_bavail) * info.f_frsize;
}

}  // namespace ostrel
