// Starting an application bundle: the executable that its Info.plist names, detached from the
// caller, which does not wait for the application to end.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvorn::linux_backend {

// Whether `text` holds an ASCII control character (a line feed, an escape, DEL, ...).
bool holdsControlCharacters(std::string_view text);

// `text` with each control character and each backslash written as \xHH: one line, which a reader
// of unit files or logs takes as plain text, never as a line break or a continuation.
std::string withControlCharactersEscaped(std::string_view text);

// The bundle's Contents/MacOS/<CFBundleExecutable>, when Contents/Info.plist names a plain file
// name there and that file is executable; none otherwise, and none when the bundle's path or the
// name holds control characters.
std::optional<std::string> bundleExecutable(const std::string& bundle);

// How a detached application starts: in `workingFolder` (or "/" when that cannot be entered), with
// `environment` when given, otherwise with the caller's.
struct LaunchSettings {
    std::optional<std::vector<std::string>> environment;
    std::string workingFolder = "/";
};

// Starts `executable` in a session of its own, with standard input from /dev/null, and returns
// without waiting for it. True when it was started.
bool launchDetached(const std::string& executable, const LaunchSettings& settings = {});

}  // namespace kelvorn::linux_backend
