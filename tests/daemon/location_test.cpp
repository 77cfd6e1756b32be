// Locating the card list and installer.ini, the liveness check and the launch, through the real
// shell with stub ps and open.
#include <sys/stat.h>

#include <filesystem>

#include "daemon/installer_ini.h"
#include "scenario.h"

namespace kelvorn::testing {
namespace {

constexpr const char* kCardListTail =
    ".app/Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/MBConfig/MDCardList";

using LocationTest = DaemonScenario;

TEST_F(LocationTest, CardListPathFollowsBundleThenInstallerINIThenDefault) {
    struct Case {
        const char* name;
        const char* bundle;  // below the root; empty when the finder knows no client
        bool bundleHasCardList;
        std::optional<std::string> bundleINI, userINI;
        std::string expectedApp;
    };
    const Case cases[] = {
        {"bundle with list", "Applications/Solvane.app", true, "ApplicationName=X\n",
         "ApplicationName=Y\n", "Solvane"},
        {"bundle without list", "Applications/Solvane.app", false, "ApplicationName=\"Acme\"\n",
         "ApplicationName=Y\n", "Acme"},
        {"bundle holds neither", "Applications/Solvane.app", false, std::nullopt,
         "ApplicationName=Y\n", "Solvane"},
        {"bundle elsewhere", "Users/alice/Applications/Solvane.app", true, std::nullopt,
         "ApplicationName=\"Acme Connect\"\r\n", "Acme Connect\""},
        {"no bundle, user file", "", false, std::nullopt, "applicationname=Acme\n", "Acme"},
        {"no bundle, no file", "", false, std::nullopt, std::nullopt, "Solvane"},
        {"lone quotation mark", "", false, std::nullopt, "ApplicationName=\"", "Solvane"},
        {"empty value", "", false, std::nullopt, "ApplicationName=\n", "Solvane"},
        {"half quoted", "", false, std::nullopt, "ApplicationName=\"Acme\n", "Acm"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root() + "/Applications/Solvane.app");
        std::filesystem::remove_all(users());
        doubles.clientBundle.reset();
        if (*c.bundle) {
            installClient(root() + "/" + c.bundle,
                          c.bundleHasCardList ? std::optional(cardList({})) : std::nullopt,
                          c.bundleINI);
        }
        if (c.userINI) writeUserINI("alice", *c.userINI);
        daemon().state.CurrentUser = "alice";
        records.clear();
        const std::string path = daemon().getMDCardListPath();
        if (c.bundleHasCardList && std::string(c.bundle).starts_with("Applications")) {
            EXPECT_EQ(path, cardListIn(root() + "/" + c.bundle));
            EXPECT_EQ(count("Since LSFindApplication function returned a value starting with "
                            "/Application/, Considering the path formed in the previous log as "
                            "correct."),
                      1);
        } else {
            EXPECT_EQ(path, applications() + "/" + c.expectedApp + kCardListTail);
        }
    }
}

TEST_F(LocationTest, PerUserInstallerINIIsInTheConsoleUsersHome) {
    const std::string tail = "/Library/Application Support/Corvant/Solvane/Directory/installer.ini";
    // A user without a home in the password database keeps the users folder.
    daemon().state.CurrentUser = "user1";
    EXPECT_EQ(daemon().getInstallerINIPath(), std::nullopt);
    EXPECT_TRUE(logged("USER", 2, "Constructed Installer.ini path " + users() + "/user1" + tail));

    homes["bob"] = root() + "/home/bob";
    writeUserINI("bob", "ApplicationName=Decoy\n");
    writeFile(root() + "/home/bob" + tail, "ApplicationName=Acme\n");
    daemon().state.CurrentUser = "bob";
    records.clear();
    EXPECT_EQ(daemon().getInstallerINIPath(), root() + "/home/bob" + tail);
    EXPECT_TRUE(
        logged("USER", 2, "Installer.ini Final Path got is  " + root() + "/home/bob" + tail));
    EXPECT_EQ(daemon().getMDCardListPath(), applications() + "/Acme" + kCardListTail);
    EXPECT_TRUE(daemon().issupportedfilepresent(users()));
    EXPECT_FALSE(daemon().issupportedfilepresent(std::nullopt));
    EXPECT_TRUE(logged("USER", 2, "Checking if MBConfig file exits at path (null)"));
}

TEST_F(LocationTest, LivenessAnswersFromTheFilteredListing) {
    struct Case {
        std::optional<std::string> ini;
        std::string listing;
        bool running;
        std::string nameLogged;
    };
    const Case cases[] = {
        {std::nullopt, "  1 ??  0:01.00 Solvane\n", true, "Solvane"},
        {std::nullopt, "  1 ??  0:01.00 solvaneHelper\n", true, "Solvane"},
        {std::nullopt, "  1 ??  0:01.00 Finder\n", false, "Solvane"},
        {"ApplicationName=\"Acme Connect\"\n", " 7 ?? 0:00 Acme Connect\n", true,
         "\"Acme Connect\""},
        {"ApplicationName=Acme Connect\n", " 7 ?? 0:00 Acme Connect\n", false, "Acme Connect"},
        {"ApplicationName=Acme\r\n", " 7 ?? 0:00 Acme\n", false, "Acme\r"},
        {"ApplicationName=\n", " 7 ?? 0:00 Acme\n", false, ""},
        {"ApplicationName=x\n", std::string(4000, 'x') + "\n", true, "x"},
        {"ApplicationName=Acme & Co\n", " 7 ?? 0:00 Acme & Co\n", true, "Acme & Co"},
        {"ApplicationName=\"Acme", " 7 ?? 0:00 Acme\n", false, "\"Acme"},
        // grep would print its version for -V, had the value reached it as an option.
        {"ApplicationName=-V\n", " 7 ?? 0:00 Finder\n", false, "-V"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listing);
        std::optional<std::string> path;
        if (c.ini) {
            writeUserINI("alice", *c.ini);
            path = users() +
                   "/alice/Library/Application Support/Corvant/Solvane/Directory/"
                   "installer.ini";
        }
        setListing(c.listing);
        records.clear();
        EXPECT_EQ(daemon().isSolvaneRunning(path), c.running);
        EXPECT_TRUE(logged("USER", 0, "Currently associated Application name :" + c.nameLogged));
    }
}

// Only a regular file of at most 64 KiB is read; a link is followed to what it names.
TEST_F(LocationTest, InstallerINIIsReadOnlyFromASmallRegularFile) {
    namespace fs = std::filesystem;
    const std::string folder = root() + "/ini";
    const std::string line = "ApplicationName=Acme\n";
    const std::string fits = line + std::string(64 * 1024 - line.size(), '#');
    writeFile(folder + "/fits", fits);
    writeFile(folder + "/over", fits + "#");
    fs::create_symlink(folder + "/fits", folder + "/link");
    fs::create_symlink("/dev/zero", folder + "/zero");
    ASSERT_EQ(mkfifo((folder + "/fifo").c_str(), 0600), 0);
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"fits", "Acme"},       {"link", "Acme"},       {"over", std::nullopt},
        {"zero", std::nullopt}, {"fifo", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& [name, value] : cases) {
        EXPECT_EQ(readApplicationNameValue(folder + "/" + name), value) << name;
    }
}

// Values that try to run commands of their own reach ps, grep and open as data only; names that
// lead out of the applications folder are not launched at all.
TEST_F(LocationTest, HostileApplicationNamesNeverRunCommands) {
    // The commands run in the scenario's folder, so a relative marker is created there.
    const std::string marker = "ran";
    const auto savedFolder = std::filesystem::current_path();
    std::filesystem::current_path(root());
    const std::string values[] = {
        "x; touch " + marker,
        "\"x\"; touch " + marker + "; \"",
        "\"$(touch " + marker + ")\"",
        "`touch " + marker + "`",
        "x | touch " + marker,
        "'; touch " + marker + "; '",
        "\"a\\\" && touch " + marker + " \\\"\"",
    };
    useDefaultClient();
    for (const auto& value : values) {
        SCOPED_TRACE(value);
        installClient(applications() + "/Solvane.app", std::nullopt,
                      "ApplicationName=" + value + "\n");
        std::filesystem::remove(root() + "/open-calls");
        FakeBatch batch({makeDevice({})});
        daemon().mycallbacknotifaction(batch);
        EXPECT_FALSE(std::filesystem::exists(root() + "/" + marker));
        EXPECT_EQ(openArguments(),
                  std::vector<std::string>{applications() + "/" + applicationNameFromValue(value) +
                                           ".app"});
    }
    std::filesystem::current_path(savedFolder);

    for (const std::string value : {"\"../Users/alice/Evil\"", "\"..\"", "\"a/b\""}) {
        SCOPED_TRACE(value);
        installClient(applications() + "/Solvane.app", std::nullopt,
                      "ApplicationName=" + value + "\n");
        std::filesystem::remove(root() + "/open-calls");
        records.clear();
        daemon().state.deviceinserted = false;
        FakeBatch batch({makeDevice({})});
        daemon().mycallbacknotifaction(batch);
        EXPECT_EQ(openArguments(), std::vector<std::string>{});
        EXPECT_TRUE(logged("USER", 2,
                           value + " does not name an application inside " + applications() +
                               ", hence not launching it"));
        EXPECT_FALSE(daemon().state.deviceinserted);
    }
}

TEST_F(LocationTest, LaunchUsesTheNameAsTheCardListDoes) {
    struct Case {
        std::optional<std::string> ini;
        std::string app;
        std::string line;
    };
    const Case cases[] = {
        {std::nullopt, "Solvane", "Solvane Not Runnning , hence launching the application"},
        {"ApplicationName=\"Acme Connect\"\n", "Acme Connect",
         "\"Acme Connect\" Not Runnning ,hence launching the application whose path is open \"" +
             applications() + "/Acme Connect.app\""},
        // Unquoted, the value is the name as written.
        {"ApplicationName=Acme\n", "Acme",
         "Acme Not Runnning ,hence launching the application whose path is open \"" +
             applications() + "/Acme.app\""},
        {"ApplicationName=X\n", "X",
         "X Not Runnning ,hence launching the application whose path is open \"" + applications() +
             "/X.app\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app);
        useDefaultClient();
        std::filesystem::remove_all(users());
        std::filesystem::remove(root() + "/open-calls");
        if (c.ini) writeUserINI("alice", *c.ini);
        doubles.clientBundle.reset();
        records.clear();
        FakeBatch batch({makeDevice({})});
        daemon().mycallbacknotifaction(batch);
        EXPECT_EQ(openArguments(), std::vector<std::string>{applications() + "/" + c.app + ".app"});
        EXPECT_TRUE(logged("USER", 2, c.line));
        EXPECT_TRUE(logged("USER", 2,
                           "Deamon did not post notification , it just launched the application "
                           ".\n Supported Device checking is done in application itself"));
        EXPECT_TRUE(daemon().state.deviceinserted);
        EXPECT_TRUE(doubles.posts.empty());
    }
}

}  // namespace
}  // namespace kelvorn::testing
