#include "common/paths.h"

namespace corvant {

namespace {

std::string withoutTrailingSlashes(const std::string& path) {
    auto end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? path : "/";
    return path.substr(0, end + 1);
}

}  // namespace

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string deletingLastPathComponent(const std::string& path) {
    std::string trimmed = withoutTrailingSlashes(path);
    if (trimmed == "/") return trimmed;
    auto slash = trimmed.find_last_of('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return withoutTrailingSlashes(trimmed.substr(0, slash));
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

std::string nameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isInside(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           ((!folder.empty() && folder.back() == '/') || path[folder.size()] == '/');
}

bool extendsFolder(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

}  // namespace corvant
