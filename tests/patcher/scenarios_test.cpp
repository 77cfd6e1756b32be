// Whole patch runs in a private root: where entries land, branding, profile files, roll back,
// hostile names, and the folders and files a run must never remove.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/format.h"
#include "common/plist.h"
#include "patch_scenario.h"

namespace ostrel_test {
namespace {

namespace fs = std::filesystem;

using corvant::Array;
using corvant::Value;

constexpr const char* kBranded = "/Applications/Acme Connect.app";

class PatchRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testing_support::PrivateRoot::available())
            << "bubblewrap cannot make a private root on this machine";
    }
    // An installation named `name`, the user's files and a four-entry profile backup.
    void prepare(const std::string& name) {
        s.installApplication(name);
        s.addUserDirectoryFiles();
        s.addProfileBackup({"a", "b", "c", ".hidden"});
    }
    bool hasMessageStartingWith(const std::string& prefix) const {
        auto messages = s.messages();
        return std::any_of(messages.begin(), messages.end(),
                           [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
    }
    PatchScenario s;
};

struct TargetCase {
    const char* name;
    Value entry;
    const char* command;
    const char* gone;  // what the deletion removed
    const char* kept;  // what it must leave
};

class TargetRuleTest : public PatchRunTest, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(TargetRuleTest, DeletionLandsWhereTheRuleSays) {
    prepare("Acme Connect");
    s.stageUpdate(kUpdate, "Acme Connect", Array{GetParam().entry}, std::nullopt);
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 0) << s.logText();
    EXPECT_TRUE(s.logged(std::string("Executing : ") + GetParam().command)) << s.logText();
    EXPECT_FALSE(s.exists(GetParam().gone));
    EXPECT_TRUE(s.exists(GetParam().kept));
}

INSTANTIATE_TEST_SUITE_P(
    Patcher, TargetRuleTest,
    ::testing::Values(
        TargetCase{"WholeApplicationInAnyCase", entry("ignored", "/aPPlications/"),
                   "rm -Rf /Applications/Acme\\ Connect.app/*",
                   "/Applications/Acme Connect.app/Contents", kBranded},
        TargetCase{"ApplicationsWithoutSlashIsTheBundle", entry("Solvane.app", "/Applications"),
                   "rm -Rf /Applications/Acme\\ Connect.app", kBranded, "/Applications"},
        TargetCase{"DefaultBundleRewritten",
                   entry("logo.icns", "/Applications/Solvane.app/Contents/Resources/"),
                   "rm -Rf /Applications/Acme\\ Connect.app/Contents/Resources/logo.icns",
                   "/Applications/Acme Connect.app/Contents/Resources/logo.icns",
                   "/Applications/Acme Connect.app/Contents/Resources/Uninstaller.app"},
        TargetCase{"RewriteIsCaseSensitive",
                   entry("logo.icns", "/applications/solvane.app/Contents/Resources"),
                   "rm -Rf /applications/solvane.app/Contents/Resources/logo.icns",
                   "/Applications/Solvane.app",
                   "/Applications/Acme Connect.app/Contents/Resources/logo.icns"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PatchRunTest, EmptyAndAbsentListsStillRunTheWholeSuccessEnding) {
    prepare("Solvane");
    s.stageUpdate(kUpdate, "Solvane", Array{}, std::nullopt);
    EXPECT_EQ(s.run({kUpdate, "ignored extra argument"}).exitStatus, 0);
    std::string none = corvant::describe(Value(Array{}));
    EXPECT_TRUE(s.logged("Files to be deleted : " + none));
    EXPECT_TRUE(s.logged("Files to be copied : " + none));
    EXPECT_TRUE(hasMessageStartingWith("Software backup Started\nExcecuting cp -pHfR"));
    EXPECT_EQ(s.status(), true);
}

TEST_F(PatchRunTest, BrandingAdaptsTheDownloadBeforeItIsCopiedIn) {
    prepare("Acme Connect");
    std::string logo = s.read(std::string(kBranded) + "/Contents/Resources/logo.icns");
    s.stageUpdate(
        kUpdate, "Acme Connect", std::nullopt,
        Array{entry("Solvane.app", "/Applications/", std::string(kUpdate) + "/Solvane.app")});
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 0) << s.logText();

    auto info =
        corvant::readDictionaryFromFile(s.host(std::string(kBranded) + "/Contents/Info.plist"));
    ASSERT_TRUE(info);
    EXPECT_EQ(corvant::lookup(*info, "CFBundleExecutable"), Value("Acme Connect"));
    EXPECT_EQ(corvant::lookup(*info, "CFBundleName"), Value("Acme Connect"));
    EXPECT_EQ(s.read(std::string(kBranded) + "/Contents/MacOS/Acme Connect"),
              "executable downloaded");
    EXPECT_FALSE(s.exists(std::string(kBranded) + "/Contents/MacOS/Solvane"));
    EXPECT_EQ(s.read(std::string(kBranded) + "/Contents/Resources/logo.icns"), logo);
    EXPECT_EQ(s.read(std::string(kBranded) +
                     "/Contents/Resources/Uninstaller.app/Contents/Resources/UninstallerLOGO.icns"),
              logo);
    EXPECT_TRUE(s.logged(
        "Changing exec name of branded application, Executing mv /Users/tester/Downloads/Update\\ "
        "1/Solvane.app/Contents/MacOS/Solvane /Users/tester/Downloads/Update\\ "
        "1/Solvane.app/Contents/MacOS/Acme\\ Connect"));
}

TEST_F(PatchRunTest, BrandingGoesOnWithoutUninstaller) {
    prepare("Acme Connect");
    s.stageUpdate(kUpdate, "Acme Connect", std::nullopt, std::nullopt);
    fs::remove_all(
        s.host(std::string(kUpdate) + "/Solvane.app/Contents/Resources/Uninstaller.app"));
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 0);
    auto lines = s.logLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        std::pair<std::string, std::string>(
                            "ERROR",
                            "Uninstaller App does not exits , hence not changing the "
                            "uninstaller icon")),
              lines.end());
    EXPECT_TRUE(hasMessageStartingWith("After Changing info.plist"));
}

TEST_F(PatchRunTest, DefaultNameInAnyCaseIsNotBranded) {
    for (const char* name : {"Solvane", "SOLVANE", "solVANE"}) {
        PatchScenario fresh;
        fresh.installApplication(name);
        fresh.stageUpdate(kUpdate, name, std::nullopt, std::nullopt);
        EXPECT_EQ(fresh.run({kUpdate}).exitStatus, 0) << name;
        for (const std::string& message : fresh.messages())
            EXPECT_EQ(message.find("Branded Application found"), std::string::npos) << name;
    }
}

struct ProfileCase {
    const char* name;
    std::vector<std::string> entries;  // none: no profile backup folder at all
    bool present;
};

class ProfileTest : public PatchRunTest, public ::testing::WithParamInterface<ProfileCase> {};

// A failed run puts a present profile backup back and removes it; a successful one only removes
// it. Three entries or none do not count as a backup and are left alone.
TEST_P(ProfileTest, RestoredAfterFailureRemovedAfterSuccess) {
    for (bool succeed : {false, true}) {
        PatchScenario fresh;
        fresh.installApplication("Solvane");
        fresh.addUserDirectoryFiles();
        if (!GetParam().entries.empty()) fresh.addProfileBackup(GetParam().entries);
        fresh.stageUpdate(kUpdate, "Solvane", Array{}, Array{});
        if (!succeed) fs::remove(fresh.host(std::string(kUpdate) + "/UpdateInfo.plist"));

        EXPECT_EQ(fresh.run({kUpdate}).exitStatus, succeed ? 0 : 1);
        bool restored = GetParam().present && !succeed;
        EXPECT_EQ(fresh.exists(std::string(kUserDirectory) + "/a"), restored);
        EXPECT_EQ(fresh.exists(std::string(kUserDirectory) + "/profile.dat"), !restored);
        EXPECT_EQ(fresh.exists(kProfileBackup), !GetParam().entries.empty() && !GetParam().present);
        auto trail = fresh.cleanUpTrail();
        EXPECT_EQ(std::count(trail.begin(), trail.end(), "remove profile backup"),
                  GetParam().present);
        EXPECT_EQ(std::count(trail.begin(), trail.end(), "restore profile"), restored);
    }
}

INSTANTIATE_TEST_SUITE_P(Patcher, ProfileTest,
                         ::testing::Values(ProfileCase{"ThreeEntries", {"a", "b", "c"}, false},
                                           ProfileCase{
                                               "FourWithHidden", {"a", "b", "c", ".h"}, true},
                                           ProfileCase{"NoFolder", {}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PatchRunTest, DirectoryFilesReplaceTheApplicationsAfterSuccess) {
    prepare("Solvane");
    s.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 0);
    std::string directory = std::string("/Applications/Solvane.app") + kFrameworkDirectory;
    EXPECT_EQ(s.read(directory + "/installer.ini"), "ApplicationName=user\n");
    EXPECT_EQ(s.read(directory + "/profile.dat"), "user profile");
}

// A whole-application deletion empties the bundle, later copies succeed, the last one fails: the
// bundle comes back as it was, across names and folders holding spaces and shell syntax.
TEST_F(PatchRunTest, FailingCopyRollsBackEvenWithHostileNames) {
    const std::string name = "Acme $(touch pwned); `touch pwned2` 'q' \"d\" &|<>!#~*?";
    const std::string update = "/Users/tester/Downloads/Up date;$(touch pwned3)|'x'";
    const std::string bundle = "/Applications/" + name + ".app";
    prepare(name);
    s.stageUpdate(update, name, Array{entry("x", "/Applications/")},
                  Array{entry("Solvane.app", "/Applications/", update + "/Solvane.app"),
                        entry("more", "/Applications/Solvane.app/Contents", update + "/missing")});
    EXPECT_EQ(s.run({update}).exitStatus, 1) << s.logText();

    EXPECT_TRUE(s.logged("Software Rolled Back successfull")) << s.logText();
    EXPECT_EQ(s.read(bundle + "/Contents/MacOS/" + name), "executable installed");
    EXPECT_FALSE(s.exists(bundle + "/Contents/MacOS/Solvane"));
    EXPECT_FALSE(s.exists(update));
    EXPECT_EQ(s.root().openCalls(), std::vector<std::string>{"[" + bundle + "]"});
    for (const char* planted : {"pwned", "pwned2", "pwned3"})
        EXPECT_FALSE(s.exists(std::string("/Users/tester/") + planted)) << planted;
}

struct KeptFolderCase {
    const char* name;
    const char* patcher;
    const char* bind;  // a host folder to stand in for, or null
    const char* startedAs = "";
};

class KeptPatcherFolderTest : public PatchRunTest,
                              public ::testing::WithParamInterface<KeptFolderCase> {};

// After success the patcher removes its folder, but never one that holds more than the patcher.
TEST_P(KeptPatcherFolderTest, FolderThatIsNotItsOwnSurvivesSuccess) {
    if (GetParam().bind != nullptr) s.root().bindFolder(GetParam().bind);
    prepare("Solvane");
    s.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    s.placePatcherAt(GetParam().patcher, GetParam().startedAs);
    std::string folder = fs::path(GetParam().patcher).parent_path().string();
    s.write(folder + "/unrelated", "keep me");

    EXPECT_EQ(s.run({kUpdate}).exitStatus, 0);
    EXPECT_EQ(s.read(folder + "/unrelated"), "keep me");
    EXPECT_TRUE(hasMessageStartingWith("Not removing the patcher folder")) << s.logText();
    EXPECT_FALSE(hasMessageStartingWith("Deleting Existing Patcher Folder"));
    EXPECT_EQ(s.status(), true);
}

INSTANTIATE_TEST_SUITE_P(
    Patcher, KeptPatcherFolderTest,
    ::testing::Values(KeptFolderCase{"HomeFolder", "/Users/tester/Ostrel", nullptr},
                      KeptFolderCase{"Downloads", "/Users/tester/Downloads/Ostrel", nullptr},
                      KeptFolderCase{"ApplicationsFolder", "/Applications/Ostrel", nullptr},
                      KeptFolderCase{"InsideTheApplication",
                                     "/Applications/Solvane.app/Contents/MacOS/Ostrel", nullptr},
                      KeptFolderCase{"SystemFolder", "/usr/local/bin/Ostrel", "/usr/local/bin"},
                      KeptFolderCase{"ThroughDotDot", "/Users/tester/Downloads/Ostrel", nullptr,
                                     "/Users/tester/Library/../Downloads/Ostrel"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PatchRunTest, OwnFolderWithOtherFilesGoesOnlyAfterSuccess) {
    for (bool succeed : {false, true}) {
        PatchScenario fresh;
        fresh.installApplication("Solvane");
        fresh.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
        if (!succeed) fresh.writeDescription(kUpdate, "not a property list");
        fresh.write("/Users/tester/Library/Caches/Ostrel/helper.dat", "patcher's own");
        EXPECT_EQ(fresh.run({kUpdate}).exitStatus, succeed ? 0 : 1);
        EXPECT_EQ(fresh.exists("/Users/tester/Library/Caches/Ostrel"), !succeed);
    }
}

TEST_F(PatchRunTest, UpdateFolderThatIsTheHomeFolderIsKept) {
    prepare("Solvane");
    s.write("/Users/tester/Documents/letter", "mine");
    EXPECT_EQ(s.run({"/Users/tester/"}).exitStatus, 1);
    EXPECT_EQ(s.read("/Users/tester/Documents/letter"), "mine");
    EXPECT_TRUE(hasMessageStartingWith("Not removing the update folder /Users/tester/ since"));
    EXPECT_EQ(s.status(), false);
}

struct DescriptionCase {
    const char* name;
    std::string description;  // raw file content
    const char* reason;
};

class UnusableDescriptionTest : public PatchRunTest,
                                public ::testing::WithParamInterface<DescriptionCase> {};

TEST_P(UnusableDescriptionTest, EndsAsIfItWereMissing) {
    prepare("Solvane");
    s.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    s.writeDescription(kUpdate, GetParam().description);
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 1);
    EXPECT_TRUE(hasMessageStartingWith(GetParam().reason)) << s.logText();
    EXPECT_TRUE(hasMessageStartingWith("UpdateInfo.plist missing at path"));
    EXPECT_TRUE(s.root().openCalls().empty());
    EXPECT_TRUE(s.exists("/Applications/Solvane.app/Contents/Info.plist"));
    EXPECT_EQ(s.status(), false);
}

std::string plistWithName(const std::string& value) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>InstalledApplicationName</key>" +
           value + "</dict></plist>";
}

INSTANTIATE_TEST_SUITE_P(
    Patcher, UnusableDescriptionTest,
    ::testing::Values(
        DescriptionCase{"NotAPropertyList", "garbage", "UpdateInfo.plist is not a dictionary"},
        DescriptionCase{"RootIsAnArray",
                        "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>",
                        "UpdateInfo.plist is not a dictionary"},
        DescriptionCase{"NameIsANumber", plistWithName("<integer>3</integer>"),
                        "UpdateInfo.plist does not name"},
        DescriptionCase{"NameLeavesApplications", plistWithName("<string>../Users/tester</string>"),
                        "UpdateInfo.plist does not name"}),
    [](const auto& info) { return std::string(info.param.name); });

struct EntryCase {
    const char* name;
    Value toBeDeleted;
    Value toBeCopied;
    const char* reason;
    const char* announcement;
};

class UnusableEntryTest : public PatchRunTest, public ::testing::WithParamInterface<EntryCase> {};

// An entry the pass cannot apply as one named item fails its pass, says why, and runs nothing.
TEST_P(UnusableEntryTest, FailsItsPassWithRollBack) {
    prepare("Solvane");
    s.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    corvant::Dictionary description{{"InstalledApplicationName", "Solvane"}};
    if (!GetParam().toBeDeleted.isAbsent()) description["toBeDeleted"] = GetParam().toBeDeleted;
    if (!GetParam().toBeCopied.isAbsent()) description["toBeCopied"] = GetParam().toBeCopied;
    corvant::writeDictionaryToFile(description, s.host(std::string(kUpdate) + "/UpdateInfo.plist"));

    EXPECT_EQ(s.run({kUpdate}).exitStatus, 1);
    auto lines = s.logLines();
    auto reason = std::find_if(lines.begin(), lines.end(), [](const auto& line) {
        return line.first == "ERROR" && line.second.rfind(GetParam().reason, 0) == 0;
    });
    ASSERT_NE(reason, lines.end()) << s.logText();
    EXPECT_EQ(std::next(reason)->second, GetParam().announcement);
    EXPECT_FALSE(hasMessageStartingWith("Executing : "));
    EXPECT_FALSE(hasMessageStartingWith("Executing  : "));
    EXPECT_TRUE(s.logged("Software Rolled Back successfull"));
    EXPECT_TRUE(s.exists("/Applications/Solvane.app/Contents/Resources/logo.icns"));
}

constexpr const char* kDeletionFailed =
    "Deleting the above file failed, Hence Rolling back to old Software";
constexpr const char* kCopyFailed = "Copying the above file failed, Hence rolling back";
const std::string kResources = "/Applications/Solvane.app/Contents/Resources";

INSTANTIATE_TEST_SUITE_P(
    Patcher, UnusableEntryTest,
    ::testing::Values(
        EntryCase{"NotADictionary", Array{"logo.icns"}, Value(),
                  "toBeDeleted entry 1 is not a dictionary", kDeletionFailed},
        EntryCase{"NoFilePath", Array{corvant::Dictionary{{"ActualFileName", "logo.icns"}}},
                  Value(), "toBeDeleted entry 1 has no text for filePath", kDeletionFailed},
        EntryCase{"EmptyName", Array{entry("", kResources)}, Value(),
                  "toBeDeleted entry 1 does not name an item", kDeletionFailed},
        EntryCase{"ParentFolder", Array{entry("..", kResources)}, Value(),
                  "toBeDeleted entry 1 does not name an item", kDeletionFailed},
        EntryCase{"RelativeFolder", Array{entry("logo.icns", "Contents/Resources")}, Value(),
                  "toBeDeleted entry 1 has a filePath that is not absolute", kDeletionFailed},
        EntryCase{"ListIsNotAnArray", Value(), Value("logo.icns"),
                  "toBeCopied is not a list of entries", kCopyFailed},
        EntryCase{"NoSource", Array{}, Array{entry("logo.icns", kResources)},
                  "toBeCopied entry 1 has no text for unzippedFilePath", kCopyFailed}),
    [](const auto& info) { return std::string(info.param.name); });

// What is left of the application, or of the user's files, is kept where the run could not put
// them back.
TEST_F(PatchRunTest, FailedRollBackKeepsTheBackup) {
    prepare("Solvane");
    // A read-only Contents copied in makes both the later roll back and its emptying fail.
    s.write(std::string(kUpdate) + "/ReadOnly/file", "x");
    s.stageUpdate(
        kUpdate, "Solvane", std::nullopt,
        Array{entry("Contents", "/Applications/Solvane.app", std::string(kUpdate) + "/ReadOnly"),
              entry("more", "/Applications/Solvane.app", std::string(kUpdate) + "/missing")});
    fs::permissions(s.host(std::string(kUpdate) + "/ReadOnly"),
                    fs::perms::owner_read | fs::perms::owner_exec);

    EXPECT_EQ(s.run({kUpdate}).exitStatus, 1);
    EXPECT_TRUE(s.logged("Roll back Failed,Software is useless now"));
    EXPECT_TRUE(hasMessageStartingWith("Keeping Backup Folder"));
    EXPECT_FALSE(hasMessageStartingWith("Removing Backup Folder"));
    EXPECT_TRUE(s.exists(std::string(kSoftwareBackup) + "/Contents/Info.plist"));
    EXPECT_EQ(s.status(), false);
}

TEST_F(PatchRunTest, FailedProfileRestoreKeepsTheProfileBackup) {
    prepare("Solvane");
    fs::permissions(s.host(kUserDirectory), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 1);
    EXPECT_TRUE(s.logged("Copying Profile Backup failed"));
    EXPECT_TRUE(hasMessageStartingWith("Keeping profile BackUp Folder"));
    EXPECT_EQ(s.read(std::string(kProfileBackup) + "/a"), "a");
}

TEST_F(PatchRunTest, MissingUserDirectoryKeepsTheApplicationsFiles) {
    s.installApplication("Solvane");
    s.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 0);
    EXPECT_TRUE(hasMessageStartingWith("No directory files at"));
    EXPECT_TRUE(s.exists(std::string("/Applications/Solvane.app") + kFrameworkDirectory +
                         "/installer.ini"));
}

}  // namespace
}  // namespace ostrel_test
