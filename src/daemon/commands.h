// The shell commands the daemon runs. Values from installer.ini reach them only as data: ordinary
// names keep the command text they have always had, anything else is escaped so that the shell can
// never run a part of it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvorn {

// The process listing filtered by the client's name. With a value from installer.ini the value is
// the pattern as written ("ps Acx | grep -i %@ "), so quotation marks around it group a name with
// blanks; without one, the default name between quotation marks ("ps Acx | grep -i \"%@\" ").
// A value that grep would read as options (a word beginning with "-") or that the shell would act
// on becomes one pattern after -e instead.
std::string processListingCommand(const std::optional<std::string>& applicationNameValue);

// Set to the console user's short name on the process listing's command only: the shipped ps then
// lists that user's processes alone, so that another user's client does not count. The command's
// text stays as it is.
inline constexpr const char* kListingUserVariable = "KELVORN_PS_USER";

// The launch command `open "<applicationsFolder>/<name>.app"`.
std::string launchCommand(std::string_view applicationsFolder, std::string_view applicationName);

}  // namespace kelvorn
