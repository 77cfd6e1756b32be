// Running shell commands and making text safe to place into them.
#include "common/shell.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace corvant {
namespace {

// Characters that /bin/sh reads as plain word characters wherever they stand.
bool isPlainForShell(unsigned char c) {
    if (c >= 0x80) return true;  // non-ASCII bytes carry no meaning for the shell
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c == '_' || c == '-' || c == '.' || c == '/' || c == ':' || c == '+' || c == '@' ||
           c == ',';  // a comma means something only between braces, and braces are escaped
}

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// Turns a wait status from system() or pclose() into the command's result: its exit status,
// 128 plus the signal number for a command ended by a signal, -1 when it could not run.
int resultOf(int waitStatus) {
    if (waitStatus == -1) return -1;
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

std::string_view nameOf(std::string_view variable) {
    return variable.substr(0, variable.find('='));
}

// The process's environment without the variables that `added` sets, then `added`.
std::vector<char*> environmentWith(const std::vector<std::string>& added) {
    std::vector<char*> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const auto replaced = [name = nameOf(*variable)](const std::string& addition) {
            return nameOf(addition) == name;
        };
        if (std::none_of(added.begin(), added.end(), replaced)) variables.push_back(*variable);
    }
    for (const std::string& addition : added)
        variables.push_back(const_cast<char*>(addition.c_str()));
    variables.push_back(nullptr);
    return variables;
}

// Up to `maxBytes` from `descriptor`, until its end.
std::string readUpTo(int descriptor, std::size_t maxBytes) {
    std::string output(maxBytes, '\0');
    std::size_t got = 0;
    while (got < maxBytes) {
        const ssize_t count = read(descriptor, output.data() + got, maxBytes - got);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        got += static_cast<std::size_t>(count);
    }
    output.resize(got);
    return output;
}

}  // namespace

int runShellCommand(const std::string& command) {
    std::fflush(nullptr);  // keep our buffered output ahead of the command's
    return resultOf(std::system(command.c_str()));
}

std::optional<std::string> readCommandOutput(const std::string& command, std::size_t maxBytes,
                                             const std::vector<std::string>& environment) {
    std::fflush(nullptr);
    // Close-on-exec: neither end is inherited by commands that other threads start meanwhile.
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    std::vector<char*> variables = environmentWith(environment);
    char* arguments[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                         const_cast<char*>(command.c_str()), nullptr};
    pid_t child = -1;
    const int started =
        posix_spawn(&child, "/bin/sh", &actions, nullptr, arguments, variables.data());
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (started != 0) {
        close(ends[0]);
        return std::nullopt;
    }
    std::string output = readUpTo(ends[0], maxBytes);
    // Closed before the wait: a command that writes on past what was read ends with SIGPIPE.
    close(ends[0]);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return output;
}

std::string shellEscaped(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size() + text.size() / 4);
    for (char character : text) {
        const auto c = static_cast<unsigned char>(character);
        if (c == '\0') continue;  // cannot be part of a command line at all
        if (isPlainForShell(c)) {
            escaped += character;
        } else if (isControl(c)) {
            // A backslash before a newline would join lines, so control bytes go in single quotes.
            escaped += '\'';
            escaped += character;
            escaped += '\'';
        } else {
            escaped += '\\';
            escaped += character;
        }
    }
    return escaped;
}

}  // namespace corvant
