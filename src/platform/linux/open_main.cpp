// open: starts application bundles. Each argument is a bundle folder ("/Applications/Solvane.app");
// the executable named by its Info.plist is started on its own and "open" returns at once. Exit
// status 0 when every bundle was started, 1 otherwise.
#include <cstdio>

#include "platform/linux/bundle_launcher.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: open BUNDLE.app...\n");
        return 1;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        auto executable = kelvorn::linux_backend::bundleExecutable(argv[i]);
        if (!executable) {
            std::fprintf(stderr, "open: %s is not an application bundle\n", argv[i]);
            status = 1;
        } else if (!kelvorn::linux_backend::launchDetached(*executable)) {
            std::fprintf(stderr, "open: %s could not be started\n", executable->c_str());
            status = 1;
        }
    }
    return status;
}
