// Finding an application bundle by its bundle identifier: the bundles in the applications folder,
// then those in the console user's own applications folder (Applications in the home folder that
// the password database gives, or in the users folder for a user it does not know), each folder in
// name order.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "common/places.h"
#include "platform/application_finder.h"
#include "platform/console_user.h"

namespace kelvorn::linux_backend {

// The first "*.app" folder in `folder`, in name order, whose Contents/Info.plist holds
// "CFBundleIdentifier" equal to `bundleIdentifier`; none when no bundle there has it.
std::optional<std::string> findBundleInFolder(const std::string& folder,
                                              const std::string& bundleIdentifier);

class BundleFinder final : public ApplicationFinder {
  public:
    // A user's home folder, or none.
    using HomeLookup = std::function<std::optional<std::string>(const std::string& user)>;

    BundleFinder(ConsoleUser& console, std::string applicationsFolder = "/Applications",
                 std::string usersFolder = "/Users",
                 HomeLookup homeFolderOf = corvant::homeDirectoryOf);

    std::optional<std::string> findApplicationForBundleIdentifier(
        const std::string& bundleIdentifier) override;

  private:
    std::optional<std::string> userApplicationsFolder();

    ConsoleUser& console_;
    std::string applicationsFolder_;
    std::string usersFolder_;
    HomeLookup homeFolderOf_;
};

}  // namespace kelvorn::linux_backend
