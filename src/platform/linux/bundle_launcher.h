// Starting an application bundle: the executable that its Info.plist names, detached from the
// caller, which does not wait for the application to end.
#pragma once

#include <optional>
#include <string>

namespace kelvorn::linux_backend {

// The bundle's Contents/MacOS/<CFBundleExecutable>, when Contents/Info.plist names a plain file
// name there and that file is executable; none otherwise.
std::optional<std::string> bundleExecutable(const std::string& bundle);

// Starts `executable` in a session of its own, with standard input from /dev/null, and returns
// without waiting for it. True when it was started.
bool launchDetached(const std::string& executable);

}  // namespace kelvorn::linux_backend
