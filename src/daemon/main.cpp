// Kelvorn on Linux: builds the udev, logind and D-Bus services and runs the daemon on them.
#include "daemon/daemon.h"
#include "platform/linux/linux_platform.h"

int main() {
    kelvorn::linux_backend::LinuxServices services;
    kelvorn::Platform platform = services.platform();
    return kelvorn::runDaemon(platform);
}
