// open: starts application bundles. Each argument is a bundle folder ("/Applications/Solvane.app");
// the executable named by its Info.plist is started on its own and "open" returns at once. Exit
// status 0 when every bundle was started, 1 otherwise. One line on standard error tells what
// happened to each bundle.
//
// Run by a user, it starts the bundle as that user. Run by root (the daemon), it starts the bundle
// as the user at the console and never as root: as a service of that user's service manager, or
// of the system's where the user has none, so that it runs outside the daemon's service; directly
// only where no service manager runs at all. With nobody at the console, or a user it cannot
// resolve, nothing is started.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/linux/bundle_launcher.h"
#include "platform/linux/user_session.h"

namespace {

using kelvorn::linux_backend::ConsoleUserLauncher;

bool start(const char* bundle, ConsoleUserLauncher* consoleUser) {
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
    const bool started = consoleUser->start(*executable, how);
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
    std::unique_ptr<ConsoleUserLauncher> consoleUser;
    if (geteuid() == 0) {
        std::string why;
        consoleUser = ConsoleUserLauncher::forConsoleUser(why);
        if (!consoleUser) {
            for (int i = 1; i < argc; ++i) {
                std::fprintf(stderr, "open: %s not started: %s\n", argv[i], why.c_str());
            }
            return 1;
        }
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        if (!start(argv[i], consoleUser.get())) status = 1;
    }
    return status;
}
