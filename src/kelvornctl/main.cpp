// kelvornctl: what the Kelvorn daemon sees, and why, for operators, support staff and vendors.
#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "kelvornctl/verbs.h"

namespace {

struct Verb {
    std::string_view name;
    int (*run)(const kelvornctl::Invocation&);
    // What follows the verb in its usage line; empty when it takes nothing.
    std::string_view synopsis;
    std::string_view summary;
    // More for "help VERB".
    std::string_view details;
    bool takesArguments = false;
};

constexpr Verb kVerbs[] = {
    {"status", kelvornctl::runStatus, "", "the daemon's state, console user, card list, families",
     "Reads the properties of the daemon's com.Corvant.Kelvorn.Daemon interface.\n"},
    {"devices", kelvornctl::runDevices, "", "the supported serial ports present, in arrival order",
     "Reads the daemon's port objects (GetManagedObjects on /com/Corvant/Kelvorn).\n"},
    {"monitor", kelvornctl::runMonitor, "", "a line per change the daemon announces, until ^C",
     "Follows the daemon's signals: each port added or removed, named by its own object;\n"
     "each change of the daemon's properties; the daemon leaving the bus and coming back\n"
     "(what was known of it is then forgotten); each notification posted to the client.\n"},
    {"check", kelvornctl::runCheck, "[--card-list FILE]",
     "every serial port present against the card list",
     "Runs the daemon's support check on each serial port present, without the daemon, and\n"
     "prints the step that decided. The card list is the one the daemon would locate for the\n"
     "console user now, or FILE.\n"},
    {"lint", kelvornctl::runLint, "FILE", "what in a card list can never match",
     "Exits with status 1 when FILE holds an error.\n", true},
    {"help", nullptr, "[VERB]", "this text, or more about one verb", ""},
};

const Verb* findVerb(std::string_view name) {
    for (const Verb& verb : kVerbs) {
        if (verb.name == name) return &verb;
    }
    return nullptr;
}

std::string usageLine(const Verb& verb) {
    std::string line = "kelvornctl [OPTIONS] " + std::string(verb.name);
    if (!verb.synopsis.empty()) line += " " + std::string(verb.synopsis);
    return line;
}

std::string commonHelp() {
    std::string text =
        "Usage: kelvornctl [OPTIONS] VERB [ARGUMENTS]\n"
        "Shows what the Kelvorn daemon sees of the Solvane client's USB modems.\n\n";
    for (const Verb& verb : kVerbs) {
        std::string left = "  " + std::string(verb.name);
        if (!verb.synopsis.empty()) left += " " + std::string(verb.synopsis);
        left.resize(std::max<std::size_t>(left.size() + 2, 28), ' ');
        text += left + std::string(verb.summary) + "\n";
    }
    return text +
           "\n"
           "  --json[=short|pretty]     print JSON, for scripts (--json is short)\n"
           "  --no-legend               print no headings, hints or summaries\n"
           "  -h, --help                print this text, or the verb's help after a verb\n"
           "  --version                 print the version\n"
           "\n"
           "Exit status: 0 done; 1 lint found an error, or a call failed; 64 wrong usage;\n"
           "69 the daemon is not on the system bus (status, devices, monitor). See "
           "kelvornctl(1).\n";
}

// The verb's usage line, its summary as a sentence, then more.
std::string verbHelp(const Verb& verb) {
    std::string summary(verb.summary);
    summary.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(summary.front())));
    return "Usage: " + usageLine(verb) + "\n" + summary + ".\n" + std::string(verb.details);
}

int usage(const std::string& message) {
    kelvornctl::complain(message + " (kelvornctl --help lists the verbs)");
    return kelvornctl::kExitUsage;
}

int help(const std::vector<std::string>& topics) {
    if (topics.empty()) return kelvornctl::print(commonHelp());
    if (topics.size() > 1) return usage("help takes one verb");
    const Verb* verb = findVerb(topics.front());
    if (verb == nullptr) return usage("unknown verb " + topics.front());
    return kelvornctl::print(verbHelp(*verb));
}

}  // namespace

int main(int argc, char** argv) {
    kelvornctl::Invocation invocation;
    const Verb* verb = nullptr;
    bool wantsHelp = false;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            wantsHelp = true;
        } else if (argument == "--version") {
            return kelvornctl::print(std::string("kelvornctl ") + KO_VERSION + "\n");
        } else if (argument == "--json" || argument == "--json=short") {
            invocation.json = true;
            invocation.jsonStyle = kelvornctl::JsonStyle::Short;
        } else if (argument == "--json=pretty") {
            invocation.json = true;
            invocation.jsonStyle = kelvornctl::JsonStyle::Pretty;
        } else if (argument.starts_with("--json=")) {
            return usage("--json takes short or pretty, not " + std::string(argument.substr(7)));
        } else if (argument == "--no-legend") {
            invocation.legend = false;
        } else if (argument == "--card-list" || argument.starts_with("--card-list=")) {
            if (argument == "--card-list" && i + 1 >= argc)
                return usage("--card-list needs a FILE");
            invocation.cardList =
                argument == "--card-list" ? argv[++i] : std::string(argument.substr(12));
            if (invocation.cardList.empty()) return usage("--card-list needs a FILE");
        } else if (argument.starts_with("-") && argument != "-") {
            return usage("unknown option " + std::string(argument));
        } else if (verb == nullptr) {
            verb = findVerb(argument);
            if (verb == nullptr) return usage("unknown verb " + std::string(argument));
        } else {
            words.emplace_back(argument);
        }
    }
    if (verb != nullptr && verb->name == "help") return help(words);
    if (wantsHelp)
        return verb ? kelvornctl::print(verbHelp(*verb)) : kelvornctl::print(commonHelp());
    if (verb == nullptr) return usage("no verb given");
    if (!words.empty() && !verb->takesArguments) {
        return usage(std::string(verb->name) + " takes no argument " + words.front());
    }
    invocation.arguments = std::move(words);
    if (!invocation.cardList.empty() && verb->name != "check") {
        return usage("--card-list is an option of check only");
    }
    return verb->run(invocation);
}
