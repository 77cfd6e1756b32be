#include "platform/linux/bundle_finder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kelvorn::linux_backend {
namespace {

namespace fs = std::filesystem;

constexpr const char* kClient = "com.Corvant.Solvane";

class ScriptedConsole final : public ConsoleUser {
  public:
    std::optional<std::string> user;
    int calls = 0;
    std::optional<std::string> copyConsoleUser() override {
        ++calls;
        return user;
    }
};

class BundleFinderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/bundle-finder-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        applications_ = root_ + "/Applications";
        users_ = root_ + "/Users";
        fs::create_directories(applications_);
        fs::create_directories(users_);
    }
    void TearDown() override { fs::remove_all(root_); }

    // A bundle whose Info.plist holds `identifier`; no Info.plist when it is empty.
    std::string makeBundle(const std::string& folder, const std::string& name,
                           const std::string& identifier) {
        std::string bundle = folder + "/" + name;
        fs::create_directories(bundle + "/Contents");
        if (!identifier.empty()) {
            std::ofstream(bundle + "/Contents/Info.plist")
                << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                   "<key>CFBundleIdentifier</key><string>"
                << identifier << "</string></dict></plist>\n";
        }
        return bundle;
    }

    std::optional<std::string> find(ScriptedConsole& console) {
        BundleFinder finder(console, applications_, users_, [this](const std::string& user) {
            return user == "carol" ? std::optional(root_ + "/home/carol") : std::nullopt;
        });
        return finder.findApplicationForBundleIdentifier(kClient);
    }

    std::string root_;
    std::string applications_;
    std::string users_;
};

TEST_F(BundleFinderTest, FirstBundleByNameInTheApplicationsFolder) {
    makeBundle(applications_, "Zeta.app", kClient);
    std::string first = makeBundle(applications_, "Acme Connect.app", kClient);
    makeBundle(applications_, "Other.app", "com.example.other");
    ScriptedConsole console;
    EXPECT_EQ(find(console), first);
}

TEST_F(BundleFinderTest, ApplicationsFolderComesBeforeTheUsersOwn) {
    std::string shared = makeBundle(applications_, "Solvane.app", kClient);
    makeBundle(users_ + "/user1/Applications", "Solvane.app", kClient);
    ScriptedConsole console;
    console.user = "user1";
    EXPECT_EQ(find(console), shared);
    EXPECT_EQ(console.calls, 0);
}

TEST_F(BundleFinderTest, FallsBackToTheConsoleUsersApplications) {
    makeBundle(applications_, "Other.app", "com.example.other");
    std::string own = makeBundle(users_ + "/user1/Applications", "Solvane.app", kClient);
    makeBundle(users_ + "/user2/Applications", "Solvane.app", kClient);
    ScriptedConsole console;
    console.user = "user1";
    EXPECT_EQ(find(console), own);
    // A user with a home folder has the Applications folder there.
    makeBundle(users_ + "/carol/Applications", "Solvane.app", kClient);
    std::string home = makeBundle(root_ + "/home/carol/Applications", "Acme.app", kClient);
    console.user = "carol";
    EXPECT_EQ(find(console), home);
}

TEST_F(BundleFinderTest, NotFound) {
    struct Case {
        const char* what;
        std::optional<std::string> consoleUser;
    };
    // Present but not findable: wrong identifier, not a bundle, no Info.plist, another user's.
    makeBundle(applications_, "Other.app", "com.example.other");
    makeBundle(applications_, "Solvane", kClient);
    makeBundle(applications_, "Broken.app", "");
    std::ofstream(applications_ + "/File.app") << "not a folder";
    makeBundle(users_ + "/user2/Applications", "Solvane.app", kClient);
    const Case cases[] = {
        {"nobody at the console", std::nullopt},
        {"user without bundles", "user1"},
        {"user name that leaves the users folder", ".."},
        {"user name with a slash", "user2/../user2"},
        {"empty user name", ""},
    };
    for (const Case& c : cases) {
        ScriptedConsole console;
        console.user = c.consoleUser;
        EXPECT_EQ(find(console), std::nullopt) << c.what;
    }
}

TEST_F(BundleFinderTest, MissingFoldersFindNothing) {
    ScriptedConsole console;
    console.user = "user1";
    BundleFinder finder(console, root_ + "/none", root_ + "/none");
    EXPECT_EQ(finder.findApplicationForBundleIdentifier(kClient), std::nullopt);
}

}  // namespace
}  // namespace kelvorn::linux_backend
