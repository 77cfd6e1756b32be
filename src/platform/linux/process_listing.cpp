#include "platform/linux/process_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "common/paths.h"

namespace kelvorn::linux_backend {

namespace {

// The kernel keeps at most this many characters of a command name.
constexpr std::size_t kCommandNameLength = 15;

// Only the first arguments can name the file a process was started from.
constexpr std::size_t kArgumentsLooked = 3;
constexpr std::size_t kArgumentBytesRead = 3 * 4096;

bool extends(const std::string& name, const std::string& prefix) {
    return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0;
}

std::string printable(std::string name) {
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) c = '?';
    }
    return name;
}

// Up to `limit` bytes of a file of /proc (whose size the kernel does not report); none when it
// cannot be read, for example because the process has ended.
std::optional<std::string> readProcFile(const std::string& path, std::size_t limit) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    std::string bytes(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t count = ::read(descriptor, bytes.data() + got, limit - got);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            ::close(descriptor);
            return std::nullopt;
        }
        if (count == 0) break;
        got += static_cast<std::size_t>(count);
    }
    ::close(descriptor);
    bytes.resize(got);
    return bytes;
}

std::optional<std::string> executableOf(const std::string& processFolder) {
    char target[4096];
    const ssize_t length = ::readlink((processFolder + "/exe").c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return std::nullopt;
    std::string path(target, static_cast<std::size_t>(length));
    // A program replaced while it runs (an update) still runs under its name.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() &&
        path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
        path.resize(path.size() - kDeleted.size());
    }
    return path;
}

std::vector<std::string> firstArgumentsOf(const std::string& processFolder) {
    std::vector<std::string> arguments;
    const auto bytes = readProcFile(processFolder + "/cmdline", kArgumentBytesRead);
    if (!bytes) return arguments;
    std::istringstream words(*bytes);
    for (std::string word; arguments.size() < kArgumentsLooked && std::getline(words, word, '\0');)
        arguments.push_back(word);
    return arguments;
}

// The terminal's name as the kernel's numbering gives it ("pts/0", "tty1", "ttyUSB0"); empty for
// an unknown one.
std::string terminalNameOf(unsigned long major, unsigned long minor, const std::string& drivers) {
    if (major >= 136 && major <= 143) return "pts/" + std::to_string(minor + (major - 136) * 256);
    if (major == 4 && minor < 64) return "tty" + std::to_string(minor);
    // The others by the kernel's list of terminal drivers: name, device prefix, major number,
    // minor numbers (one or a range), kind.
    std::istringstream lines(drivers);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, prefix, minors, kind;
        unsigned long driverMajor = 0;
        if (!(fields >> name >> prefix >> driverMajor >> minors >> kind)) continue;
        if (driverMajor != major || prefix.compare(0, 5, "/dev/") != 0) continue;
        char* end = nullptr;
        const unsigned long first = std::strtoul(minors.c_str(), &end, 10);
        const unsigned long last = *end == '-' ? std::strtoul(end + 1, nullptr, 10) : first;
        if (minor < first || minor > last) continue;
        const std::string base = prefix.substr(5);
        if (kind.compare(0, 6, "system") == 0) return base;
        return base + std::to_string(minor - first);
    }
    return "";
}

// The terminal's name as ps shows it, from the device number of the process's status: only when
// this system's /dev holds that terminal under that name, as the system's ps does; "?" for none,
// an unknown one, or one of another /dev (a container's, a sandboxed service's own).
std::string terminalName(unsigned long number, const std::string& drivers) {
    if (number == 0) return "?";
    const unsigned long major = (number >> 8) & 0xfff;
    const unsigned long minor = (number & 0xff) | ((number >> 12) & 0xfff00);
    const std::string name = terminalNameOf(major, minor, drivers);
    struct stat node {};
    if (name.empty() || stat(("/dev/" + name).c_str(), &node) != 0 || !S_ISCHR(node.st_mode) ||
        node.st_rdev != makedev(major, minor)) {
        return "?";
    }
    return name;
}

// Cumulative processor time as minutes and seconds ("0:07", "62:05"), the minutes unbounded.
std::string processorTime(unsigned long long ticks) {
    const long perSecond = sysconf(_SC_CLK_TCK);
    const unsigned long long seconds =
        ticks / static_cast<unsigned long long>(perSecond > 0 ? perSecond : 100);
    char text[48];
    std::snprintf(text, sizeof text, "%llu:%02llu", seconds / 60, seconds % 60);
    return text;
}

// The number that a field of a process's status begins with ("VmLck:\t  12 kB", "Uid:\t1000\t...",
// the real user id first); none when the status has no such field.
std::optional<unsigned long> statusNumber(const std::string& status, const std::string& field) {
    const auto found = status.find("\n" + field + ":");
    if (found == std::string::npos) return std::nullopt;
    return std::strtoul(status.c_str() + found + field.size() + 2, nullptr, 10);
}

struct ProcessLine {
    std::optional<unsigned long> realUid;
    std::string terminal;
    std::string state;
    std::string time;
    std::string command;
};

// One process from its folder; none when it ended meanwhile.
std::optional<ProcessLine> describeProcess(long pid, const std::string& folder,
                                           const std::string& drivers) {
    const auto status = readProcFile(folder + "/stat", 4096);
    if (!status) return std::nullopt;
    // The command name stands between parentheses and may hold any character, ")" included.
    const auto open = status->find('(');
    const auto close = status->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return std::nullopt;
    const std::string comm = status->substr(open + 1, close - open - 1);
    std::istringstream fields(status->substr(close + 1));
    char state = '?';
    long parent = 0, group = 0, session = 0, terminalGroup = 0, nice = 0, threads = 0;
    unsigned long terminal = 0, skipped = 0;
    unsigned long long userTicks = 0, systemTicks = 0;
    long long childTicks = 0, priority = 0;
    fields >> state >> parent >> group >> session >> terminal >> terminalGroup;
    for (int i = 0; i < 5; ++i) fields >> skipped;  // flags and page-fault counts
    fields >> userTicks >> systemTicks >> childTicks >> childTicks >> priority >> nice >> threads;
    if (!fields) return std::nullopt;

    ProcessLine line;
    line.terminal = terminalName(terminal, drivers);
    // The state letter with the BSD flags: priority, locked pages, session leader, threads,
    // foreground.
    line.state = state;
    if (nice < 0) line.state += '<';
    if (nice > 0) line.state += 'N';
    // Locked pages in memory; the status also tells whose process it is.
    const auto processStatus = readProcFile(folder + "/status", 8192).value_or("");
    if (statusNumber(processStatus, "VmLck").value_or(0) > 0) line.state += 'L';
    line.realUid = statusNumber(processStatus, "Uid");
    if (session == pid) line.state += 's';
    if (threads > 1) line.state += 'l';
    if (terminal != 0 && group == terminalGroup) line.state += '+';
    line.time = processorTime(userTicks + systemTicks);
    if (comm.size() == kCommandNameLength) {
        line.command = listedName(comm, executableOf(folder), firstArgumentsOf(folder));
    } else {
        line.command = listedName(comm, std::nullopt, {});
    }
    return line;
}

int pidColumnWidth(const std::string& procFolder) {
    const auto maximum = readProcFile(procFolder + "/sys/kernel/pid_max", 32);
    const long largest = maximum ? std::strtol(maximum->c_str(), nullptr, 10) : 0;
    return largest > 0 ? std::max<int>(5, static_cast<int>(std::to_string(largest).size())) : 5;
}

bool isSameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string identityOf(const struct stat& file) {
    return std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino);
}

bool isHandedOnBy(const std::string& handedOn, const struct stat& file) {
    std::istringstream identities(handedOn);
    const std::string wanted = identityOf(file);
    for (std::string identity; std::getline(identities, identity, ',');) {
        if (identity == wanted) return true;
    }
    return false;
}

}  // namespace

bool isEveryProcessByCommandName(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) return false;
    std::string letters = arguments[0];
    std::sort(letters.begin(), letters.end());
    return letters == "Acx";
}

std::string listedName(const std::string& comm, const std::optional<std::string>& executable,
                       const std::vector<std::string>& arguments) {
    if (comm.size() == kCommandNameLength) {
        std::vector<std::string> candidates;
        if (executable) candidates.push_back(*executable);
        const std::size_t looked = std::min(arguments.size(), kArgumentsLooked);
        candidates.insert(candidates.end(), arguments.begin(), arguments.begin() + looked);
        for (const std::string& candidate : candidates) {
            const std::string name = corvant::nameOf(candidate);
            if (extends(name, comm)) return printable(name);
        }
    }
    return printable(comm);
}

bool listEveryProcess(std::FILE* out, const std::string& procFolder, std::optional<uid_t> owner) {
    DIR* folder = ::opendir(procFolder.c_str());
    if (folder == nullptr) return false;
    std::vector<long> pids;
    while (const dirent* entry = ::readdir(folder)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid > 0 && *end == '\0') pids.push_back(pid);
    }
    ::closedir(folder);
    std::sort(pids.begin(), pids.end());

    const std::string drivers = readProcFile(procFolder + "/tty/drivers", 65536).value_or("");
    const int width = pidColumnWidth(procFolder);
    std::fprintf(out, "%*s %-8s %-4s %6s %s\n", width, "PID", "TT", "STAT", "TIME", "COMMAND");
    for (const long pid : pids) {
        const auto line = describeProcess(pid, procFolder + "/" + std::to_string(pid), drivers);
        if (!line || (owner && line->realUid != *owner)) continue;
        std::fprintf(out, "%*ld %-8s %-4s %6s %s\n", width, pid, line->terminal.c_str(),
                     line->state.c_str(), line->time.c_str(), line->command.c_str());
    }
    return std::fflush(out) == 0;
}

std::optional<uid_t> listedOwner(const char* userName) {
    if (userName == nullptr || *userName == '\0') return std::nullopt;
    const passwd* entry = getpwnam(userName);
    if (entry == nullptr) return std::nullopt;
    return entry->pw_uid;
}

std::string handedOnWith(const std::string& handedOn, const std::string& self) {
    struct stat own {};
    if (stat(self.c_str(), &own) != 0 || isHandedOnBy(handedOn, own)) return handedOn;
    return handedOn.empty() ? identityOf(own) : handedOn + "," + identityOf(own);
}

std::optional<std::string> findSystemPs(const std::string& searchPath, const std::string& self,
                                        const std::string& handedOn) {
    struct stat own {};
    const bool knowsSelf = stat(self.c_str(), &own) == 0;
    std::istringstream folders(searchPath);
    for (std::string folder; std::getline(folders, folder, ':');) {
        // An empty entry or a relative one would depend on the working folder: not the system's.
        if (folder.empty() || folder.front() != '/') continue;
        const std::string candidate = folder + "/ps";
        struct stat found {};
        if (stat(candidate.c_str(), &found) != 0 || !S_ISREG(found.st_mode)) continue;
        if (knowsSelf && isSameFile(found, own)) continue;
        if (isHandedOnBy(handedOn, found)) continue;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

}  // namespace kelvorn::linux_backend
