#include "platform/linux/process_listing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace kelvorn::linux_backend {
namespace {

namespace fs = std::filesystem;

TEST(SystemPsArguments, OnlyTheLiveCommandsListingIsTranslated) {
    const std::vector<std::string> everyProcess = {"-e", "-o", "pid,tty,stat,time,comm"};
    const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
        {{"Acx"}, everyProcess},
        {{"xcA"}, everyProcess},
        {{"Ac"}, {"Ac"}},
        {{"Acxx"}, {"Acxx"}},
        {{"Acx", "-p", "1"}, {"Acx", "-p", "1"}},
        {{"-ef"}, {"-ef"}},
        {{}, {}},
    };
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(systemPsArguments(arguments), expected) << ::testing::PrintToString(arguments);
    }
}

// The shipped ps comes first on PATH: the system's is the next one, never itself again.
TEST(FindSystemPs, SkipsItselfWhateverItIsCalledAndWhatCannotRun) {
    char pattern[] = "/tmp/find-ps-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    for (const char* folder : {"own", "link", "plain", "system", "later"}) {
        fs::create_directories(root + "/" + folder);
    }
    const auto script = [&](const std::string& path, fs::perms permissions) {
        std::ofstream(path) << "#!/bin/sh\n";
        fs::permissions(path, permissions);
    };
    script(root + "/own/ps", fs::perms::owner_all);
    fs::create_symlink(root + "/own/ps", root + "/link/ps");
    script(root + "/plain/ps", fs::perms::owner_read);
    script(root + "/system/ps", fs::perms::owner_all);
    script(root + "/later/ps", fs::perms::owner_all);
    const std::string self = root + "/own/ps";
    const std::string path = "relative:" + root + "/own:" + root + "/link::" + root +
                             "/plain:" + root + "/system:" + root + "/later";
    EXPECT_EQ(findSystemPs(path, self), root + "/system/ps");
    EXPECT_EQ(findSystemPs(root + "/own:" + root + "/link", self), std::nullopt);
    fs::remove_all(root);
}

}  // namespace
}  // namespace kelvorn::linux_backend
