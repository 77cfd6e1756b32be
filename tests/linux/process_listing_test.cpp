#include "platform/linux/process_listing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace kelvorn::linux_backend {
namespace {

namespace fs = std::filesystem;

TEST(SystemPsArguments, OnlyTheLiveCommandsListingIsListedByTheShippedPs) {
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"Acx"}, true},
        {{"xcA"}, true},
        {{"Ac"}, false},
        {{"Acxx"}, false},
        {{"Acx", "-p", "1"}, false},
        {{"-ef"}, false},
        {{}, false},
    };
    for (const auto& [arguments, listedHere] : cases) {
        EXPECT_EQ(isEveryProcessByCommandName(arguments), listedHere)
            << ::testing::PrintToString(arguments);
    }
}

// The kernel cuts command names at 15 characters; the listing shows the whole name of what runs.
TEST(ListedName, CutCommandNamesAreMadeWholeFromWhatTheProcessRuns) {
    const std::string cut = "SolvaneConnectP";
    const std::string bundled = "/Applications/S.app/Contents/MacOS/SolvaneConnectPro";
    struct Case {
        std::string comm;
        std::optional<std::string> executable;
        std::vector<std::string> arguments;
        std::string listed;
    } cases[] = {
        {cut, bundled, {"SolvaneConnectPro"}, "SolvaneConnectPro"},
        // The executable cannot be read (another user's process): its first argument.
        {cut, std::nullopt, {bundled, "-x"}, "SolvaneConnectPro"},
        // A script: the interpreter runs, the script's path is an argument.
        {cut, "/usr/bin/dash", {"/bin/sh", bundled}, "SolvaneConnectPro"},
        {"Solvane", "/usr/bin/dash", {"/bin/sh", "/Applications/S.app/Solvane"}, "Solvane"},
        // A name of exactly 15 characters, one the process gave itself, a kernel thread.
        {"ExactlyFifteen1", "/opt/ExactlyFifteen1", {"/opt/ExactlyFifteen1"}, "ExactlyFifteen1"},
        {"renamed-worker1", "/usr/bin/python3", {"python3", "-c", "x"}, "renamed-worker1"},
        {"kworker/R-rcu_g", std::nullopt, {}, "kworker/R-rcu_g"},
        // Control characters would break the line that grep reads.
        {"Solvane\nConnect", "/x/Solvane\nConnect\x7fPro", {}, "Solvane?Connect?Pro"},
        {"tab\tname", std::nullopt, {}, "tab?name"},
    };
    for (const auto& [comm, executable, arguments, listed] : cases) {
        EXPECT_EQ(listedName(comm, executable, arguments), listed) << comm;
    }
}

std::string listing(const std::string& procFolder = "/proc",
                    std::optional<uid_t> owner = std::nullopt) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    EXPECT_TRUE(listEveryProcess(out, procFolder, owner));
    std::fclose(out);
    std::string listed(text, size);
    std::free(text);
    return listed;
}

struct Columns {
    std::string terminal, state, time, command;
};

// The lines of a listing by process id, after its header.
std::map<long, Columns> byProcess(const std::string& listed) {
    std::map<long, Columns> processes;
    std::istringstream lines(listed);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        long pid = 0;
        Columns columns;
        fields >> pid >> columns.terminal >> columns.state >> columns.time >> columns.command;
        processes[pid] = columns;
    }
    return processes;
}

long secondsOf(const std::string& time) {
    return std::atol(time.c_str()) * 60 + std::atol(time.substr(time.find(':') + 1).c_str());
}

std::string minutesAndSeconds(long seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
    return text;
}

// A child whose controlling terminal is a new pseudo-terminal; none where none can be made.
pid_t childOnATerminal() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    const std::string terminal = ptsname(master);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        if (::open(terminal.c_str(), O_RDWR) >= 0) pause();
        _exit(1);
    }
    // The child keeps the terminal open once it has made it its own.
    for (int i = 0; i < 100 && byProcess(listing())[child].terminal == "?"; ++i) usleep(10000);
    close(master);
    return child;
}

// This test's own program name has 18 characters, more than the kernel keeps. Every process that
// the system's ps lists too shows the same terminal and processor time there.
TEST(ListEveryProcess, ShowsTheColumnsAsTheSystemsPsDoesAndTheWholeNameOfTheProgram) {
    const pid_t onTerminal = childOnATerminal();
    const std::string listed = listing();
    EXPECT_EQ(listed.substr(listed.find("PID"), listed.find('\n') - listed.find("PID")),
              "PID TT       STAT   TIME COMMAND");
    const auto ours = byProcess(listed);
    ASSERT_TRUE(ours.contains(getpid()));
    EXPECT_EQ(ours.at(getpid()).command, "linux_backend_test");

    std::FILE* output = popen("ps cax 2>&1", "r");
    ASSERT_NE(output, nullptr);
    std::string theirs;
    char buffer[4096];
    while (const std::size_t count = std::fread(buffer, 1, sizeof buffer, output)) {
        theirs.append(buffer, count);
    }
    ASSERT_EQ(pclose(output), 0) << theirs;
    int compared = 0;
    for (const auto& [pid, columns] : byProcess(theirs)) {
        const auto found = ours.find(pid);
        if (found == ours.end()) continue;
        ++compared;
        EXPECT_EQ(found->second.terminal, columns.terminal) << pid << " " << columns.command;
        // A process that ran between the two listings may have gained a second.
        const std::string& time = found->second.time;
        EXPECT_EQ(minutesAndSeconds(secondsOf(time)), time);
        EXPECT_LE(secondsOf(columns.time) - secondsOf(time), 1) << columns.time << " " << time;
    }
    EXPECT_GT(compared, 1);
    if (onTerminal > 0) {
        EXPECT_TRUE(ours.at(onTerminal).terminal.starts_with("pts/"));
        kill(onTerminal, SIGKILL);
        waitpid(onTerminal, nullptr, 0);
    }
}

// Processes of a made-up /proc: processor time in minutes and seconds however long it is, and a
// terminal that this system's /dev does not hold (that of a container) as no terminal. Restricted
// to one user, the listing holds that user's processes alone (by their real user id), and none
// whose owner cannot be read.
TEST(ListEveryProcess, TimeInMinutesAndOnlyTerminalsOfThisSystem) {
    char pattern[] = "/tmp/fake-proc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string proc = pattern;
    const long perSecond = sysconf(_SC_CLK_TCK);
    struct Case {
        long pid;
        unsigned long long seconds;
        unsigned long terminal;
        std::string time, listedTerminal;
        // The status's "Uid:" line (real, effective, saved, file system); none: no status.
        std::optional<std::string> uids = "0\t0\t0\t0";
    } cases[] = {
        {101, 7, 0, "0:07", "?", "1000\t1000\t1000\t1000"},
        {102, 59 * 60 + 59, 0, "59:59", "?"},
        {103, 3600 + 2 * 60 + 5, 0, "62:05", "?", "1000\t0\t0\t0"},
        {104, 86400 + 3600 + 60 + 1, 0, "1501:01", "?", "0\t1000\t1000\t1000"},
        // pts/2047: major 143, minor 255.
        {105, 0, (143 << 8) | 255, "0:00", "?", std::nullopt},
    };
    for (const Case& c : cases) {
        fs::create_directories(proc + "/" + std::to_string(c.pid));
        std::ofstream(proc + "/" + std::to_string(c.pid) + "/stat")
            << c.pid << " (Solvane) S 1 " << c.pid << " " << c.pid << " " << c.terminal
            << " -1 0 0 0 0 0 " << c.seconds * static_cast<unsigned long long>(perSecond)
            << " 0 0 0 20 0 1 0\n";
        if (c.uids) {
            std::ofstream(proc + "/" + std::to_string(c.pid) + "/status")
                << "Name:\tSolvane\nUid:\t" << *c.uids << "\nVmLck:\t0 kB\n";
        }
    }
    const auto listed = byProcess(listing(proc));
    for (const Case& c : cases) {
        ASSERT_TRUE(listed.contains(c.pid)) << c.pid;
        EXPECT_EQ(listed.at(c.pid).time, c.time) << c.pid;
        EXPECT_EQ(listed.at(c.pid).terminal, c.listedTerminal) << c.pid;
    }
    std::vector<long> owned;
    for (const auto& [pid, columns] : byProcess(listing(proc, 1000))) owned.push_back(pid);
    EXPECT_EQ(owned, (std::vector<long>{101, 103}));
    fs::remove_all(proc);
}

// The user the daemon names in KELVORN_PS_USER; a name the password database does not know
// restricts nothing.
TEST(ListedOwner, IsTheNamedUsersIdWhenThePasswordDatabaseKnowsIt) {
    EXPECT_EQ(listedOwner("root"), uid_t{0});
    EXPECT_EQ(listedOwner("kelvorn-no-such-user"), std::nullopt);
    EXPECT_EQ(listedOwner(""), std::nullopt);
    EXPECT_EQ(listedOwner(nullptr), std::nullopt);
}

// The shipped ps comes first on PATH: the system's is the next one, never itself again.
TEST(FindSystemPs, SkipsItselfWhateverItIsCalledAndWhatCannotRun) {
    char pattern[] = "/tmp/find-ps-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    for (const char* folder : {"own", "link", "plain", "copy", "system", "later"}) {
        fs::create_directories(root + "/" + folder);
    }
    const auto script = [&](const std::string& path, fs::perms permissions) {
        std::ofstream(path) << "#!/bin/sh\n";
        fs::permissions(path, permissions);
    };
    script(root + "/own/ps", fs::perms::owner_all);
    fs::create_symlink(root + "/own/ps", root + "/link/ps");
    script(root + "/plain/ps", fs::perms::owner_read);
    script(root + "/copy/ps", fs::perms::owner_all);
    script(root + "/system/ps", fs::perms::owner_all);
    script(root + "/later/ps", fs::perms::owner_all);
    const std::string self = root + "/own/ps";
    const std::string path = "relative:" + root + "/own:" + root + "/link::" + root +
                             "/plain:" + root + "/system:" + root + "/later";
    EXPECT_EQ(findSystemPs(path, self), root + "/system/ps");
    EXPECT_EQ(findSystemPs(root + "/own:" + root + "/link", self), std::nullopt);

    // A second copy (another install) cannot be told from the system's by the first, but it
    // learns from the first that the call came through it, and hands on past both.
    const std::string copies = root + "/own:" + root + "/copy";
    EXPECT_EQ(findSystemPs(copies + ":" + root + "/system", self), root + "/copy/ps");
    const std::string handedOn = handedOnWith("", self);
    EXPECT_EQ(findSystemPs(copies + ":" + root + "/system", root + "/copy/ps", handedOn),
              root + "/system/ps");
    EXPECT_EQ(findSystemPs(copies, root + "/copy/ps", handedOn), std::nullopt);
    fs::remove_all(root);
}

// Two installed copies of the shipped ps on PATH: a call they hand on ends at the system's ps.
TEST(FindSystemPs, TwoCopiesOnPathDoNotRunEachOther) {
    char pattern[] = "/tmp/two-ps-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    for (const char* folder : {"first", "second"}) {
        fs::create_directories(root + "/" + folder);
        fs::copy_file(KO_SHIPPED_PS, root + "/" + folder + "/ps");
    }
    const std::string command = "env PATH=" + root + "/first:" + root +
                                "/second:/usr/bin:/bin timeout 10 ps -o pid= -p " +
                                std::to_string(getpid()) + " 2>&1";
    std::FILE* output = popen(command.c_str(), "r");
    ASSERT_NE(output, nullptr);
    char line[256] = "";
    const bool read = std::fgets(line, sizeof line, output) != nullptr;
    EXPECT_EQ(pclose(output), 0);
    EXPECT_TRUE(read);
    EXPECT_EQ(std::atol(line), getpid()) << line;
    fs::remove_all(root);
}

}  // namespace
}  // namespace kelvorn::linux_backend
