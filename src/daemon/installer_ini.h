// The installer.ini file as the daemon reads it: only the value of its first ApplicationName line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvorn {

inline constexpr const char* kDefaultApplicationName = "Solvane";

// The value of the first line of `text` that names the application: at least 16 characters, the
// first 15 equal to "ApplicationName" in any letter case, the 16th taken as the separator whatever
// it is. The value is the rest of the line, verbatim (quotation marks, blanks and a carriage return
// included), and may be empty. Lines end at line feeds only.
std::optional<std::string> findApplicationNameValue(std::string_view text);

// Reads the file at `path` whole as ASCII text and applies findApplicationNameValue. None when the
// path is absent or empty, or the file is missing, unreadable, not ASCII, not a regular file (a
// link is followed) or larger than 64 KiB.
std::optional<std::string> readApplicationNameValue(const std::optional<std::string>& path);

// The application name a launch uses: the value without its first and last characters (they are
// expected to be quotation marks); the default name when the value is too short to strip.
std::string launchNameFromValue(std::string_view value);

}  // namespace kelvorn
