// ps: the process listing as the daemon's liveness command asks for it. "ps Acx" lists every
// process by its command name, those without a terminal too; any other use is the system's ps.
// It comes first on the daemon's PATH, so the system's ps is the next one found there.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/process_listing.h"

int main(int argc, char** argv) {
    using namespace kelvorn::linux_backend;
    const char* path = std::getenv("PATH");
    std::string searchPath = path != nullptr ? path : "";
    searchPath += ":/usr/bin:/bin";
    const auto systemPs = findSystemPs(searchPath, "/proc/self/exe");
    if (!systemPs) {
        std::fprintf(stderr, "ps: the system's ps was not found\n");
        return 1;
    }
    std::vector<std::string> arguments = systemPsArguments({argv + 1, argv + argc});
    std::vector<char*> execArguments{const_cast<char*>("ps")};
    for (std::string& argument : arguments) execArguments.push_back(argument.data());
    execArguments.push_back(nullptr);
    execv(systemPs->c_str(), execArguments.data());
    std::perror(systemPs->c_str());
    return 1;
}
