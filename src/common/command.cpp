// Commands started directly, with the shell's "*" expanded here the way /bin/sh expands it.
#include "common/command.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/shell.h"

extern char** environ;

namespace corvant {
namespace {

// The entries that "<literal>*" names, in the shell's order (byte order, as in the C locale).
std::vector<std::string> expand(const std::string& literal) {
    auto slash = literal.rfind('/');
    std::string folderPart = slash == std::string::npos ? "" : literal.substr(0, slash + 1);
    std::string prefix = slash == std::string::npos ? literal : literal.substr(slash + 1);
    std::vector<std::string> names;
    DIR* folder = ::opendir(folderPart.empty() ? "." : folderPart.c_str());
    if (folder == nullptr) return names;
    while (const dirent* entry = ::readdir(folder)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (name[0] == '.' && (prefix.empty() || prefix[0] != '.')) continue;
        if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) continue;
        names.emplace_back(name);
    }
    ::closedir(folder);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return std::strcmp(a.c_str(), b.c_str()) < 0;
    });
    for (std::string& name : names) name = folderPart + name;
    return names;
}

// The program's file as execvp would find it: a name with a slash as it is, any other the first
// executable file of that name in a folder of PATH. Looked up here, with a few file tests, rather
// than by exec attempts in the child, one per folder, for every command. Empty when none is found.
std::string onPath(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/bin:/usr/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        std::string folder = folders.substr(start, end - start);
        std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
        struct stat status {};
        if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

int resultOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return 126;
}

}  // namespace

std::string Command::text() const {
    std::string text = program_;
    for (const CommandWord& word : words_) {
        text += ' ';
        text += shellEscaped(word.literal);
        if (word.matchesEntries) text += '*';
    }
    return text;
}

std::vector<std::string> Command::arguments() const {
    std::vector<std::string> arguments;
    for (const CommandWord& word : words_) {
        if (!word.matchesEntries) {
            if (!word.literal.empty()) arguments.push_back(word.literal);
            continue;
        }
        std::vector<std::string> matches = expand(word.literal);
        if (matches.empty()) {
            arguments.push_back(word.literal + "*");
        } else {
            for (std::string& match : matches) arguments.push_back(std::move(match));
        }
    }
    return arguments;
}

int runCommand(const Command& command) {
    std::vector<std::string> arguments = command.arguments();
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    std::string program = command.program();
    argv.push_back(program.data());
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // The child starts with no signal blocked and the default action for the signals a shell
    // would reset, whatever the caller set up.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::fflush(nullptr);  // keep our buffered output ahead of the command's
    pid_t child = 0;
    std::string file = onPath(program);
    int error = file.empty() ? ENOENT
                             : ::posix_spawn(&child, file.c_str(), nullptr, &attributes,
                                             argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (error == ENOENT) return 127;
    if (error != 0) {
        // As sh says it: "*" may expand to more than one command can take ("Argument list too
        // long").
        std::fprintf(stderr, "%s: %s\n", program.c_str(), std::strerror(error));
        return 126;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) == -1) {
        if (errno != EINTR) return 126;
    }
    return resultOf(status);
}

}  // namespace corvant
