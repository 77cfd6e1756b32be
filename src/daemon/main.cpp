// Kelvorn on Linux: builds the udev, logind and D-Bus services and runs the daemon on them.
#include "common/standard_options.h"
#include "daemon/daemon.h"
#include "platform/linux/linux_platform.h"

namespace {

constexpr corvant::ProgramDescription kKelvorn{
    "Kelvorn", KO_VERSION,
    "Usage: Kelvorn [--help | --version]\n"
    "Watches for the USB modems of the Solvane client's card list and tells the running client\n"
    "when one arrives or leaves, or starts the client. Runs as root, as the service kelvorn;\n"
    "see Kelvorn(8).\n"};

}  // namespace

int main(int argc, char** argv) {
    if (auto status = corvant::answerStandardOption(argc, argv, kKelvorn)) return *status;
    kelvorn::linux_backend::LinuxServices services;
    kelvorn::Platform platform = services.platform();
    kelvorn::DaemonOptions options;
    options.takeServiceName = [&services] { return services.takeBusName(); };
    options.answerQueries = [&services](const kelvorn::DeviceQueries& queries) {
        return &services.answerQueries(queries);
    };
    options.version = KO_VERSION;
    return kelvorn::runDaemon(platform, {}, std::move(options));
}
