// Ostrel: applies a downloaded update to the installed client application.
#include <cstdio>
#include <string>
#include <vector>

#include "common/places.h"
#include "common/standard_options.h"
#include "patcher/check.h"
#include "patcher/driver.h"

namespace {

constexpr corvant::ProgramDescription kOstrel{
    "Ostrel", KO_VERSION,
    "Usage: Ostrel UPDATE_FOLDER\n"
    "       Ostrel --check UPDATE_FOLDER\n"
    "Applies the unpacked Solvane update in UPDATE_FOLDER to the installed client, then\n"
    "relaunches the client. Exit status 0 on success, 1 on any failure; see Ostrel(1).\n"
    "With --check, changes nothing: prints each problem that would fail a run, the commands\n"
    "a run would run, and a verdict; exit status 0 when a run would apply the update.\n"};

}  // namespace

int main(int argc, char** argv) {
    if (auto status = corvant::answerStandardOption(argc, argv, kOstrel)) return *status;
    std::vector<std::string> arguments(argv, argv + argc);
    ostrel::Places places;
    places.homeFolder = corvant::homeDirectory();
    if (arguments.size() >= 2 && arguments[1] == "--check") {
        if (arguments.size() != 3) {
            std::fprintf(stderr, "usage: Ostrel --check <update content folder>\n");
            return 1;
        }
        return ostrel::runCheck(arguments[0], arguments[2], places);
    }
    return ostrel::runSoftwarePatcher(arguments, places);
}
