// Ostrel: applies a downloaded update to the installed client application.
#include <string>
#include <vector>

#include "common/places.h"
#include "common/standard_options.h"
#include "patcher/driver.h"

namespace {

constexpr corvant::ProgramDescription kOstrel{
    "Ostrel", KO_VERSION,
    "Usage: Ostrel UPDATE_FOLDER\n"
    "Applies the unpacked Solvane update in UPDATE_FOLDER to the installed client, then\n"
    "relaunches the client. Exit status 0 on success, 1 on any failure; see Ostrel(1).\n"};

}  // namespace

int main(int argc, char** argv) {
    if (auto status = corvant::answerStandardOption(argc, argv, kOstrel)) return *status;
    std::vector<std::string> arguments(argv, argv + argc);
    ostrel::Places places;
    places.homeFolder = corvant::homeDirectory();
    return ostrel::runSoftwarePatcher(arguments, places);
}
