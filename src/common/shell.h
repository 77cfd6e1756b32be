// Running shell commands and making text safe to place into them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvant {

// Runs `command` through /bin/sh and waits for it (system()). Returns 0 only when the command ran
// and exited with status 0; a failing command, one that could not run, or one ended by a signal
// gives a non-zero result: the exit status, 128 plus the signal number, or -1 when no shell ran.
int runShellCommand(const std::string& command);

// Starts `command` through /bin/sh, as popen in mode "r" does, reads at most `maxBytes` of its
// standard output, then closes the pipe and waits for the command. `environment` ("NAME=value"
// each) is added to, or replaces in, the command's environment, and only the command's. None when
// the command could not start.
std::optional<std::string> readCommandOutput(const std::string& command, std::size_t maxBytes,
                                             const std::vector<std::string>& environment = {});

// Makes `text` one literal word for /bin/sh. A space becomes a backslash and a space, as the
// system's commands have always shown it; every other character that the shell treats specially
// is made literal too, so a name can never run commands of its own.
std::string shellEscaped(std::string_view text);

}  // namespace corvant
