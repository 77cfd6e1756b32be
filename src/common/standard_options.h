// The two options every installed program is expected to answer, whatever else its command line
// means: "--help" and "--version", each printed on standard output.
#pragma once

#include <optional>
#include <string_view>

namespace corvant {

struct ProgramDescription {
    std::string_view name;
    std::string_view version;
    // The usage line and what the program does, printed by "--help".
    std::string_view help;
};

// When the first argument is "--help" or "--version", prints the answer and returns the exit
// status (0); otherwise returns nothing and the program runs as usual.
std::optional<int> answerStandardOption(int argc, const char* const* argv,
                                        const ProgramDescription& program);

}  // namespace corvant
