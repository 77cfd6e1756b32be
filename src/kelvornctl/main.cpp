// kelvornctl: what the Kelvorn daemon sees, and why, for operators, support staff and vendors.
#include <cstdio>
#include <string>
#include <string_view>

#include "common/standard_options.h"
#include "kelvornctl/verbs.h"

namespace {

constexpr corvant::ProgramDescription kKelvornctl{
    "kelvornctl", KO_VERSION,
    "Usage: kelvornctl [--json] COMMAND [ARGUMENTS]\n"
    "Shows what the Kelvorn daemon sees of the Solvane client's USB modems.\n"
    "\n"
    "  status                    the daemon's state, console user, card list and families\n"
    "  devices                   the supported serial ports present, as the daemon lists them\n"
    "  monitor                   a line per notification of the daemon, until interrupted\n"
    "  check [--card-list FILE]  every serial port present against the card list, without the\n"
    "                            daemon, with the step that decided\n"
    "  lint FILE                 what in a card list can never match\n"
    "\n"
    "  --json                    print JSON, for scripts (any command)\n"
    "  --help, --version         print this text or the version\n"
    "\n"
    "Exit status: 0 done; 1 lint found an error, or a call failed; 64 wrong usage;\n"
    "69 the daemon is not on the system bus (status, devices, monitor). See kelvornctl(1).\n"};

struct Verb {
    std::string_view name;
    int (*run)(const kelvornctl::Invocation&);
    bool takesArguments;
};

constexpr Verb kVerbs[] = {
    {"status", kelvornctl::runStatus, false},   {"devices", kelvornctl::runDevices, false},
    {"monitor", kelvornctl::runMonitor, false}, {"check", kelvornctl::runCheck, false},
    {"lint", kelvornctl::runLint, true},
};

int usage(const std::string& message) {
    kelvornctl::complain(message + " (kelvornctl --help lists the commands)");
    return kelvornctl::kExitUsage;
}

}  // namespace

namespace kelvornctl {

void complain(const std::string& message) {
    std::fprintf(stderr, "kelvornctl: %s\n", message.c_str());
    std::fflush(stderr);
}

}  // namespace kelvornctl

int main(int argc, char** argv) {
    kelvornctl::Invocation invocation;
    const Verb* verb = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "--version") {
            const char* options[] = {argv[0], argv[i]};
            return *corvant::answerStandardOption(2, options, kKelvornctl);
        }
        if (argument == "--json") {
            invocation.json = true;
        } else if (argument == "--card-list" || argument.starts_with("--card-list=")) {
            if (argument == "--card-list" && i + 1 >= argc)
                return usage("--card-list needs a FILE");
            invocation.cardList =
                argument == "--card-list" ? argv[++i] : std::string(argument.substr(12));
            if (invocation.cardList.empty()) return usage("--card-list needs a FILE");
        } else if (argument.starts_with("-") && argument != "-") {
            return usage("unknown option " + std::string(argument));
        } else if (verb == nullptr) {
            for (const Verb& candidate : kVerbs) {
                if (candidate.name == argument) verb = &candidate;
            }
            if (verb == nullptr) return usage("unknown command " + std::string(argument));
        } else if (verb->takesArguments) {
            invocation.arguments.emplace_back(argument);
        } else {
            return usage(std::string(verb->name) + " takes no argument " + std::string(argument));
        }
    }
    if (verb == nullptr) return usage("no command given");
    if (!invocation.cardList.empty() && verb->name != "check") {
        return usage("--card-list is an option of check only");
    }
    return verb->run(invocation);
}
