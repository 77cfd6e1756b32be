// Running shell commands and making text safe to place into them.
#include "common/shell.h"

#include <sys/wait.h>

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

}  // namespace

int runShellCommand(const std::string& command) {
    std::fflush(nullptr);  // keep our buffered output ahead of the command's
    return resultOf(std::system(command.c_str()));
}

std::optional<std::string> readCommandOutput(const std::string& command, std::size_t maxBytes) {
    std::fflush(nullptr);
    // "e": the pipe is not inherited by commands that other threads start meanwhile.
    std::FILE* pipe = popen(command.c_str(), "re");
    if (pipe == nullptr) return std::nullopt;
    std::string output(maxBytes, '\0');
    std::size_t got = maxBytes == 0 ? 0 : std::fread(output.data(), 1, maxBytes, pipe);
    output.resize(got);
    pclose(pipe);
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
