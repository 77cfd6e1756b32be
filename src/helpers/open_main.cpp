// open: starts application bundles. Each argument is a bundle folder ("/Applications/Solvane.app");
// the executable named by its Info.plist is started on its own and "open" returns at once. Exit
// status 0 when every bundle was started, 1 otherwise. One line on standard error tells what
// happened to each bundle.
//
// Run by a user, it starts the bundle as that user. Run by root (the daemon), it starts the bundle
// as the user at the console and never as root: as a service of that user's service manager, or
// of the system's where the user has none, so that it runs outside the daemon's service; directly
// only where no service manager runs at all. With nobody at the console, or a user it cannot
// resolve, nothing is started. Each bundle's start ends within a bound (kLaunchBound): a user's
// manager, bus or process that does not answer holds the caller no longer. A bundle path or an
// executable name with control characters is refused.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/linux/bundle_launcher.h"
#include "platform/linux/console_user_launcher.h"

namespace {

using kelvorn::linux_backend::ConsoleUserLauncher;
using kelvorn::linux_backend::Deadline;
using kelvorn::linux_backend::kLaunchBound;

bool start(const char* bundle, ConsoleUserLauncher* consoleUser, Deadline deadline) {
    using kelvorn::linux_backend::withControlCharactersEscaped;
    if (kelvorn::linux_backend::holdsControlCharacters(bundle)) {
        std::fprintf(stderr, "open: %s not started: its path holds control characters\n",
                     withControlCharactersEscaped(bundle).c_str());
        return false;
    }
    const auto executable = kelvorn::linux_backend::bundleExecutable(bundle);
    if (!executable) {
        std::fprintf(stderr, "open: %s is not an application bundle\n", bundle);
        return false;
    }
    if (consoleUser == nullptr) {
        if (kelvorn::linux_backend::launchDetached(*executable)) {
            std::fprintf(stderr, "open: started %s\n", executable->c_str());
            return true;
        }
        std::fprintf(stderr, "open: %s could not be started\n", executable->c_str());
        return false;
    }
    const auto& account = consoleUser->account();
    std::string how;
    const bool started = consoleUser->start(*executable, how, deadline);
    std::fprintf(stderr, "open: %s %s as %s (uid %u): %s\n", executable->c_str(),
                 started ? "started" : "not started", account.name.c_str(),
                 static_cast<unsigned>(account.uid), how.c_str());
    return started;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: open BUNDLE.app...\n");
        return 1;
    }
    // Each bundle's start has its bound; the first one's includes asking who is at the console.
    const auto bound = [] { return std::chrono::steady_clock::now() + kLaunchBound; };
    Deadline deadline = bound();
    std::unique_ptr<ConsoleUserLauncher> consoleUser;
    if (geteuid() == 0) {
        std::string why;
        consoleUser = ConsoleUserLauncher::forConsoleUser(why, deadline);
        if (!consoleUser) {
            for (int i = 1; i < argc; ++i) {
                std::fprintf(stderr, "open: %s not started: %s\n", argv[i], why.c_str());
            }
            return 1;
        }
    }
    int status = 0;
    for (int i = 1; i < argc; ++i, deadline = bound()) {
        if (!start(argv[i], consoleUser.get(), deadline)) status = 1;
    }
    return status;
}
