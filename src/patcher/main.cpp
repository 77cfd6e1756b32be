// Ostrel: applies a downloaded update to the installed client application.
#include <string>
#include <vector>

#include "common/places.h"
#include "patcher/driver.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    ostrel::Places places;
    places.homeFolder = corvant::homeDirectory();
    return ostrel::runSoftwarePatcher(arguments, places);
}
