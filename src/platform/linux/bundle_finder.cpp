#include "platform/linux/bundle_finder.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "common/plist.h"

namespace kelvorn::linux_backend {

namespace {

namespace fs = std::filesystem;

bool isBundleName(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".app") == 0;
}

std::vector<std::string> bundleNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (isBundleName(name) && it->is_directory(error)) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool hasBundleIdentifier(const std::string& bundle, const std::string& bundleIdentifier) {
    auto info = corvant::readDictionaryFromFile(bundle + "/Contents/Info.plist");
    if (!info) return false;
    const auto* identifier = corvant::lookup(*info, "CFBundleIdentifier").as<std::string>();
    return identifier != nullptr && *identifier == bundleIdentifier;
}

// A user name that names one folder inside the users folder and nothing else.
bool isPlainFolderName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

std::optional<std::string> findBundleInFolder(const std::string& folder,
                                              const std::string& bundleIdentifier) {
    for (const std::string& name : bundleNames(folder)) {
        std::string bundle = folder + "/" + name;
        if (hasBundleIdentifier(bundle, bundleIdentifier)) return bundle;
    }
    return std::nullopt;
}

BundleFinder::BundleFinder(ConsoleUser& console, std::string applicationsFolder,
                           std::string usersFolder, HomeLookup homeFolderOf)
    : console_(console),
      applicationsFolder_(std::move(applicationsFolder)),
      usersFolder_(std::move(usersFolder)),
      homeFolderOf_(std::move(homeFolderOf)) {}

std::optional<std::string> BundleFinder::findApplicationForBundleIdentifier(
    const std::string& bundleIdentifier) {
    if (auto bundle = findBundleInFolder(applicationsFolder_, bundleIdentifier)) return bundle;
    if (auto folder = userApplicationsFolder())
        return findBundleInFolder(*folder, bundleIdentifier);
    return std::nullopt;
}

std::optional<std::string> BundleFinder::userApplicationsFolder() {
    auto user = console_.copyConsoleUser();
    if (!user || !isPlainFolderName(*user)) return std::nullopt;
    if (homeFolderOf_) {
        if (auto home = homeFolderOf_(*user)) return *home + "/Applications";
    }
    return usersFolder_ + "/" + *user + "/Applications";
}

}  // namespace kelvorn::linux_backend
