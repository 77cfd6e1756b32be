#include "platform/linux/bundle_launcher.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/plist.h"

namespace kelvorn::linux_backend {

namespace {

bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Runs in the grandchild: never returns.
// `environment` is null to keep the caller's.
[[noreturn]] void execute(const std::string& executable, const std::string& workingFolder,
                          char* const* environment, int reportFd) {
    int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    if (chdir(workingFolder.c_str()) != 0 && chdir("/") != 0) {
        // The application starts where the caller was; nothing depends on it.
    }
    if (environment != nullptr) {
        execle(executable.c_str(), executable.c_str(), static_cast<char*>(nullptr), environment);
    } else {
        execl(executable.c_str(), executable.c_str(), static_cast<char*>(nullptr));
    }
    int error = errno;
    if (write(reportFd, &error, sizeof error) < 0) {
        // The caller then sees a started process that ended at once; nothing more can be done.
    }
    _exit(127);
}

}  // namespace

bool holdsControlCharacters(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

std::string withControlCharactersEscaped(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02x", byte);
            escaped += code;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::optional<std::string> bundleExecutable(const std::string& bundle) {
    std::string contents = withoutTrailingSlashes(bundle) + "/Contents";
    auto info = corvant::readDictionaryFromFile(contents + "/Info.plist");
    if (!info) return std::nullopt;
    const auto* name = corvant::lookup(*info, "CFBundleExecutable").as<std::string>();
    if (name == nullptr || !isPlainFileName(*name)) return std::nullopt;
    std::string executable = contents + "/MacOS/" + *name;
    // Such a path would reach a unit file, the journal and the log as more than one line.
    if (holdsControlCharacters(executable)) return std::nullopt;
    if (access(executable.c_str(), X_OK) != 0) return std::nullopt;
    return executable;
}

bool launchDetached(const std::string& executable, const LaunchSettings& settings) {
    // Made before the fork: the children only call what is safe there.
    std::vector<char*> environment;
    if (settings.environment) {
        for (const std::string& variable : *settings.environment) {
            environment.push_back(const_cast<char*>(variable.c_str()));
        }
        environment.push_back(nullptr);
    }
    // The grandchild reports a failed exec through this pipe; a successful exec closes it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        setsid();
        pid_t grandchild = fork();
        if (grandchild == 0) {
            execute(executable, settings.workingFolder,
                    settings.environment ? environment.data() : nullptr, report[1]);
        }
        _exit(grandchild < 0 ? 1 : 0);
    }
    close(report[1]);
    int status = 0;
    bool started = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                   WEXITSTATUS(status) == 0;
    int error = 0;
    ssize_t reported;
    do {
        reported = read(report[0], &error, sizeof error);
    } while (reported < 0 && errno == EINTR);
    close(report[0]);
    return started && reported == 0;
}

}  // namespace kelvorn::linux_backend
