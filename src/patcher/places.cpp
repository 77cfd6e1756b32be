#include "patcher/places.h"

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

namespace {

std::string withoutTrailingSlashes(const std::string& path) {
    auto end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? path : "/";
    return path.substr(0, end + 1);
}

}  // namespace

std::string deletingLastPathComponent(const std::string& path) {
    std::string trimmed = withoutTrailingSlashes(path);
    if (trimmed == "/") return trimmed;
    auto slash = trimmed.find_last_of('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return withoutTrailingSlashes(trimmed.substr(0, slash));
}

std::string withoutLeadingDash(const std::string& path) {
    if (path.empty() || path.front() != '-') return path;
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? "./" + path : absolute.string();
}

std::string appendingPathComponent(const std::string& folder, const std::string& name) {
    std::string head = withoutTrailingSlashes(folder);
    auto start = name.find_first_not_of('/');
    std::string tail = start == std::string::npos ? "" : name.substr(start);
    if (tail.empty()) return head;
    if (head.empty()) return tail;
    if (head == "/") return "/" + tail;
    return head + "/" + tail;
}

}  // namespace ostrel
