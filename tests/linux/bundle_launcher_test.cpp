#include "platform/linux/bundle_launcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace kelvorn::linux_backend {
namespace {

namespace fs = std::filesystem;

class BundleLauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/bundle-launcher-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    // A bundle whose Info.plist names `executable` and whose MacOS folder holds `script` under
    // `fileName` (nothing when the script is empty).
    std::string makeBundle(const std::string& executable, const std::string& fileName,
                           const std::string& script, bool runnable = true) {
        std::string bundle = root_ + "/Client.app";
        fs::create_directories(bundle + "/Contents/MacOS");
        std::ofstream(bundle + "/Contents/Info.plist")
            << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
               "<key>CFBundleExecutable</key><string>"
            << executable << "</string></dict></plist>";
        if (!script.empty()) {
            std::string path = bundle + "/Contents/MacOS/" + fileName;
            std::ofstream(path) << script;
            chmod(path.c_str(), runnable ? 0755 : 0644);
        }
        return bundle;
    }

    std::string root_;
};

TEST_F(BundleLauncherTest, FindsTheExecutableTheInfoPlistNames) {
    std::string bundle = makeBundle("Solvane", "Solvane", "#!/bin/sh\n");
    EXPECT_EQ(bundleExecutable(bundle), bundle + "/Contents/MacOS/Solvane");
    EXPECT_EQ(bundleExecutable(bundle + "/"), bundle + "/Contents/MacOS/Solvane");
}

TEST_F(BundleLauncherTest, RefusesWhatIsNotAStartableBundleExecutable) {
    struct Case {
        const char* what;
        const char* executable;
        const char* fileName;
        const char* script;
        bool runnable;
    };
    const Case cases[] = {
        {"named file missing", "Solvane", "Other", "#!/bin/sh\n", true},
        {"not executable", "Solvane", "Solvane", "#!/bin/sh\n", false},
        {"name leaves the MacOS folder", "../../../bin/sh", "Solvane", "#!/bin/sh\n", true},
        {"empty name", "", "Solvane", "#!/bin/sh\n", true},
        {"dot-dot", "..", "Solvane", "#!/bin/sh\n", true},
        // Lines that would reach a unit file written by root.
        {"control characters", "x\n[Service]\nUser=root", "x\n[Service]\nUser=root", "#!/bin/sh\n",
         true},
    };
    for (const Case& c : cases) {
        fs::remove_all(root_ + "/Client.app");
        std::string bundle = makeBundle(c.executable, c.fileName, c.script, c.runnable);
        EXPECT_EQ(bundleExecutable(bundle), std::nullopt) << c.what;
    }
    EXPECT_EQ(bundleExecutable(root_ + "/None.app"), std::nullopt) << "no bundle";
    const std::string escapes = root_ + "/Client\x1b[2J.app";
    fs::rename(root_ + "/Client.app", escapes);
    EXPECT_EQ(bundleExecutable(escapes), std::nullopt) << "control characters in the bundle's path";
}

TEST(ControlCharacters, AreWrittenAsHexadecimalWithTheBackslash) {
    const std::pair<std::string, std::string> cases[] = {
        {"/Applications/Acme Connect.app", "/Applications/Acme Connect.app"},
        {"x\n[Service]\nUser=root", "x\\x0a[Service]\\x0aUser=root"},
        {"ends in \\", "ends in \\x5c"},
        {std::string("\x1b[2J\x7f\0", 6), "\\x1b[2J\\x7f\\x00"},
    };
    for (const auto& [text, escaped] : cases) {
        EXPECT_EQ(holdsControlCharacters(text), text.find_first_of("\n\x1b") != std::string::npos);
        EXPECT_EQ(withControlCharactersEscaped(text), escaped);
    }
}

TEST_F(BundleLauncherTest, StartsTheApplicationWithoutWaitingForIt) {
    std::string marker = root_ + "/started";
    std::string bundle = makeBundle("Solvane", "Solvane",
                                    "#!/bin/sh\nsleep 1\necho \"$(pwd) $0\" > " + marker +
                                        ".tmp\nmv " + marker + ".tmp " + marker + "\n");
    auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(launchDetached(*bundleExecutable(bundle)));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(900));
    for (int i = 0; i < 100 && !fs::exists(marker); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string line;
    std::getline(std::ifstream(marker), line);
    EXPECT_EQ(line, "/ " + bundle + "/Contents/MacOS/Solvane");
}

TEST_F(BundleLauncherTest, ReportsAnExecutableThatCannotStart) {
    std::string bundle = makeBundle("Solvane", "Solvane", "#!/nonexistent/interpreter\n");
    EXPECT_FALSE(launchDetached(*bundleExecutable(bundle)));
}

}  // namespace
}  // namespace kelvorn::linux_backend
