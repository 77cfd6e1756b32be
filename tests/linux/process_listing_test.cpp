#include "platform/linux/process_listing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// This test's own program name has 18 characters, more than the kernel keeps.
TEST(ListEveryProcess, ShowsTheColumnsAndTheWholeNameOfTheProgram) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    ASSERT_TRUE(listEveryProcess(out));
    std::fclose(out);
    const std::string listing(text, size);
    std::free(text);
    std::istringstream lines(listing);
    std::string header;
    std::getline(lines, header);
    EXPECT_EQ(header.substr(header.find("PID")), "PID TT       STAT     TIME COMMAND");
    bool listed = false;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        long pid = 0;
        std::string terminal, state, time, command, more;
        fields >> pid >> terminal >> state >> time >> command;
        if (pid != getpid()) continue;
        EXPECT_FALSE(fields >> more) << line;
        EXPECT_EQ(command, "linux_backend_test") << line;
        listed = true;
    }
    EXPECT_TRUE(listed);
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
