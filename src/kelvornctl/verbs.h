// kelvornctl's verbs: each takes its own arguments and returns the exit status.
#pragma once

#include <string>
#include <vector>

#include "kelvornctl/output.h"

namespace kelvornctl {

// Exit statuses besides 0.
inline constexpr int kExitFindings = 1;   // lint found an error; a call failed
inline constexpr int kExitUsage = 64;     // EX_USAGE
inline constexpr int kExitNoDaemon = 69;  // EX_UNAVAILABLE: the daemon is not on the bus

struct Invocation {
    bool json = false;
    JsonStyle jsonStyle = JsonStyle::Short;
    // False: tables without their heading, lines and hints around them.
    bool legend = true;
    // The verb's arguments after the options were taken out.
    std::vector<std::string> arguments;
    // check: the card list to use instead of the one the daemon would locate.
    std::string cardList;
};

int runStatus(const Invocation& invocation);
int runDevices(const Invocation& invocation);
int runMonitor(const Invocation& invocation);
int runCheck(const Invocation& invocation);
int runLint(const Invocation& invocation);

// The card list the daemon would use now: the client's, found as the daemon finds it for the
// console user, or the default path.
std::string locateCardList();

}  // namespace kelvornctl
