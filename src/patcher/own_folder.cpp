#include "patcher/own_folder.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace ostrel {

namespace fs = std::filesystem;

namespace {

constexpr std::array kSystemFolders = {
    "/Applications",
    "/Library",
    "/Network",
    "/System",
    "/Users",
    "/Users/Shared",
    "/Volumes",
    "/bin",
    "/boot",
    "/cores",
    "/dev",
    "/etc",
    "/home",
    "/lib",
    "/lib32",
    "/lib64",
    "/media",
    "/mnt",
    "/opt",
    "/private",
    "/private/etc",
    "/private/tmp",
    "/private/var",
    "/proc",
    "/root",
    "/run",
    "/sbin",
    "/srv",
    "/sys",
    "/tmp",
    "/usr",
    "/usr/bin",
    "/usr/lib",
    "/usr/lib64",
    "/usr/libexec",
    "/usr/local",
    "/usr/local/bin",
    "/usr/local/lib",
    "/usr/local/libexec",
    "/usr/local/sbin",
    "/usr/local/share",
    "/usr/sbin",
    "/usr/share",
    "/var",
    "/var/tmp",
};

constexpr std::array kHomeStandardFolders = {
    "Applications",
    "Desktop",
    "Documents",
    "Downloads",
    "Library",
    "Library/Caches",
    "Library/Preferences",
    "Movies",
    "Music",
    "Pictures",
    "Public",
    "bin",
    ".config",
    ".local",
    ".local/bin",
};

// Trees that the system's package manager owns: nothing below them is the patcher's to remove,
// however much it looks like a folder of its own (/usr/libexec/Ostrel).
constexpr std::array kPackageTrees = {
    "/bin",    "/boot", "/etc",  "/lib",  "/lib32", "/lib64",
    "/libx32", "/opt",  "/sbin", "/snap", "/usr",   "/var",
};

// The absolute path with "..", "." and symbolic links of its existing part resolved.
fs::path resolved(const std::string& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    if (error) absolute = fs::path(path);
    fs::path canonical = fs::weakly_canonical(absolute, error);
    if (error) canonical = absolute.lexically_normal();
    if (canonical.has_filename() || canonical == canonical.root_path()) return canonical;
    return canonical.parent_path();  // drops a trailing slash
}

bool isSameOrInside(const fs::path& inner, const fs::path& outer) {
    return std::mismatch(inner.begin(), inner.end(), outer.begin(), outer.end()).second ==
           outer.end();
}

bool isStrictlyInside(const fs::path& inner, const fs::path& outer) {
    return inner != outer && isSameOrInside(inner, outer);
}

}  // namespace

std::optional<std::string> reasonToKeepFolder(const std::string& folder, const Places& places,
                                              const std::string& installedApplicationPath) {
    if (folder.empty()) return "no folder is known";
    fs::path candidate = resolved(folder);
    if (candidate == candidate.root_path()) return "it is the root folder";
    for (const char* system : kSystemFolders)
        if (candidate == resolved(system)) return "it is a system folder";
    for (const char* standard : kHomeStandardFolders)
        if (candidate == resolved(places.homeFolder + "/" + standard))
            return "it is a standard folder of the home folder";

    std::vector<std::pair<std::string, const char*>> kept = {
        {places.homeFolder, "the home folder"},
        {places.applicationsFolder, "the applications folder"},
        {userDirectoryPath(places), "the user's directory files"},
        {patcherStatusFilePath(places), "the status file"},
    };
    if (!installedApplicationPath.empty())
        kept.emplace_back(installedApplicationPath, "the installed application");
    for (const auto& [path, name] : kept)
        if (!path.empty() && isSameOrInside(resolved(path), candidate))
            return std::string("it is or holds ") + name;

    if (!installedApplicationPath.empty() &&
        isStrictlyInside(candidate, resolved(installedApplicationPath)))
        return "it lies inside the installed application";
    return std::nullopt;
}

std::optional<std::string> reasonToKeepPatcherFolder(const std::string& folder,
                                                     const Places& places,
                                                     const std::string& installedApplicationPath) {
    if (auto reason = reasonToKeepFolder(folder, places, installedApplicationPath)) return reason;
    fs::path candidate = resolved(folder);
    for (const char* tree : kPackageTrees)
        if (isSameOrInside(candidate, resolved(tree)))
            return "it lies in a folder that the system's packages own";
    return std::nullopt;
}

}  // namespace ostrel
