#include "common/standard_options.h"

#include <cstdio>
#include <string>

namespace corvant {

std::optional<int> answerStandardOption(int argc, const char* const* argv,
                                        const ProgramDescription& program) {
    if (argc < 2) return std::nullopt;
    const std::string_view option = argv[1];
    std::string text;
    if (option == "--help") {
        text = program.help;
    } else if (option == "--version") {
        text = std::string(program.name) + " " + std::string(program.version) + "\n";
    } else {
        return std::nullopt;
    }
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace corvant
