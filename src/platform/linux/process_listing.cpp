#include "platform/linux/process_listing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

namespace kelvorn::linux_backend {

namespace {

bool isEveryProcessByCommandName(std::string argument) {
    std::sort(argument.begin(), argument.end());
    return argument == "Acx";
}

bool isSameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::vector<std::string> systemPsArguments(const std::vector<std::string>& arguments) {
    if (arguments.size() == 1 && isEveryProcessByCommandName(arguments[0])) {
        // PID, terminal, state and time as the BSD listing has them, then the command name.
        return {"-e", "-o", "pid,tty,stat,time,comm"};
    }
    return arguments;
}

std::optional<std::string> findSystemPs(const std::string& searchPath, const std::string& self) {
    struct stat own {};
    const bool knowsSelf = stat(self.c_str(), &own) == 0;
    std::istringstream folders(searchPath);
    for (std::string folder; std::getline(folders, folder, ':');) {
        // An empty entry or a relative one would depend on the working folder: not the system's.
        if (folder.empty() || folder.front() != '/') continue;
        const std::string candidate = folder + "/ps";
        struct stat found {};
        if (stat(candidate.c_str(), &found) != 0 || !S_ISREG(found.st_mode)) continue;
        if (knowsSelf && isSameFile(found, own)) continue;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

}  // namespace kelvorn::linux_backend
