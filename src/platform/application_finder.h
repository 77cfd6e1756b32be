// Finding an installed application bundle by its bundle identifier.
#pragma once

#include <optional>
#include <string>

namespace kelvorn {

inline constexpr const char* kClientBundleIdentifier = "com.Corvant.Solvane";

class ApplicationFinder {
  public:
    virtual ~ApplicationFinder() = default;
    // The file-system path of the bundle registered for `bundleIdentifier`, or none.
    virtual std::optional<std::string> findApplicationForBundleIdentifier(
        const std::string& bundleIdentifier) = 0;
};

}  // namespace kelvorn
