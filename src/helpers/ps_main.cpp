// ps: the process listing as the daemon's liveness command asks for it. "ps Acx" lists every
// process by the whole name of what it runs, those without a terminal too, or only the console
// user's when the daemon names that user in KELVORN_PS_USER; any other use is handed to the
// system's ps, the next ps on PATH that is no shipped ps (this one comes first on the daemon's
// PATH), else /usr/bin/ps or /bin/ps.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "daemon/commands.h"
#include "platform/linux/process_listing.h"

int main(int argc, char** argv) {
    using namespace kelvorn::linux_backend;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (isEveryProcessByCommandName(arguments)) {
        const auto owner = listedOwner(std::getenv(kelvorn::kListingUserVariable));
        if (listEveryProcess(stdout, "/proc", owner)) return 0;
        std::perror("ps: /proc");
        return 1;
    }

    const char* path = std::getenv("PATH");
    std::string searchPath = path != nullptr ? path : "";
    searchPath += ":/usr/bin:/bin";
    const char* marker = std::getenv(kHandedOnVariable);
    const std::string handedOn = marker != nullptr ? marker : "";
    const auto systemPs = findSystemPs(searchPath, "/proc/self/exe", handedOn);
    if (!systemPs) {
        std::fprintf(stderr, "ps: the system's ps was not found\n");
        return 1;
    }
    // Should the next ps be another copy of this one, it hands on past both.
    const std::string passed = handedOnWith(handedOn, "/proc/self/exe");
    setenv(kHandedOnVariable, passed.c_str(), 1);
    std::vector<char*> execArguments{const_cast<char*>("ps")};
    for (std::string& argument : arguments) execArguments.push_back(argument.data());
    execArguments.push_back(nullptr);
    execv(systemPs->c_str(), execArguments.data());
    std::perror(systemPs->c_str());
    return 1;
}
