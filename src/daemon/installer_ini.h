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

// The application name an ApplicationName value gives, to the card list path and the launch alike:
// a value that begins with a double quotation mark loses its first and last characters (the last
// whatever it is); any other value is the name as written. An empty value, or a lone quotation
// mark, gives the default name.
std::string applicationNameFromValue(std::string_view value);

}  // namespace kelvorn
