// Whether the console user's client application runs: any output of the process listing of the
// console user's processes, filtered by the client's name.
#include "daemon/commands.h"
#include "daemon/daemon.h"
#include "daemon/installer_ini.h"

namespace kelvorn {

namespace {

// The answer needs one byte of output; no more than this is ever read.
constexpr std::size_t kListingBytesRead = 10;

}  // namespace

bool Daemon::isSolvaneRunning(const std::optional<std::string>& installerINIPath) {
    const auto value = readApplicationNameValue(installerINIPath);
    const std::string name = value.value_or(kDefaultApplicationName);
    const std::string command = processListingCommand(value);
    log("USER", 0, "Currently associated Application name :%@", name);

    std::vector<std::string> environment;
    if (state.CurrentUser) environment.push_back(kListingUserVariable + ("=" + *state.CurrentUser));
    const auto output = options_.commands.readOutput(command, kListingBytesRead, environment);
    if (output && !output->empty()) {
        log("USER", 2, "Current Associated Application running");
        return true;
    }
    log("USER", 2, "Current Associated Application not running ,launching the same");
    return false;
}

}  // namespace kelvorn
