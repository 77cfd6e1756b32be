// Every way a patch run can end, run for real in a private root: the announcement, the clean-up in
// its order, the status file, the exit status, the launch, and what is left on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "patch_scenario.h"

namespace ostrel_test {
namespace {

namespace fs = std::filesystem;

using corvant::Array;

struct EndingCase {
    const char* name;
    std::string installedName;
    std::function<void(PatchScenario&)> arrange;
    std::string announcement;  // empty for success
    const char* level;
    std::vector<std::string> trail;
    bool status;
    bool launched;
    bool backupLeft;
};

void PrintTo(const EndingCase& ending, std::ostream* out) {
    *out << ending.name;
}

void lockFolder(PatchScenario& scenario, const std::string& folder) {
    fs::permissions(scenario.host(folder), fs::perms::owner_read | fs::perms::owner_exec);
}

const std::vector<std::string> kFailureTrail = {"remove update", "status", "restore profile",
                                                "remove profile backup", "launch"};
const std::vector<std::string> kEarlyBrandingTrail = {
    "remove update",   "remove backup",         "status",
    "restore profile", "remove profile backup", "launch"};
const std::vector<std::string> kLateBrandingTrail = {"remove update",   "remove backup",
                                                     "restore profile", "remove profile backup",
                                                     "status",          "launch"};
const std::vector<std::string> kRollBackTrail = {
    "roll back", "remove update", "remove backup", "restore profile", "remove profile backup",
    "status",    "launch"};

const EndingCase kEndings[] = {
    {"NoDescription",
     "Solvane",
     [](PatchScenario& s) { fs::remove(s.host(std::string(kUpdate) + "/UpdateInfo.plist")); },
     "UpdateInfo.plist missing at path the above path, Hence Patching failed, Client will not "
     "launch since software pathcer does not know the application name",
     "ERROR",
     {"restore profile", "remove profile backup", "status"},
     false,
     false,
     false},
    {"BackupFolder", "Solvane",
     [](PatchScenario& s) {
         // An old backup that can be neither removed nor moved aside (a mount point) leaves no
         // room for a fresh one.
         s.root().bindFolder(kSoftwareBackup);
     },
     "Software backup folder creation Failed, Hence Patching failed", "ERROR", kFailureTrail, false,
     true, true},
    {"BackupCopy", "Solvane",
     [](PatchScenario& s) { fs::remove_all(s.host("/Applications/Solvane.app")); },
     "Software backup Failed due to wrong file permissions, Hence Patching failed", "ERROR",
     kEarlyBrandingTrail, false, true, false},
    {"BrandedIcon", "Acme Connect",
     [](PatchScenario& s) {
         fs::remove(s.host("/Applications/Acme Connect.app/Contents/Resources/logo.icns"));
     },
     "Copying branded icon Failed, due to wrong file permissions", "ERROR", kEarlyBrandingTrail,
     false, true, false},
    {"UninstallerIcon", "Acme Connect",
     [](PatchScenario& s) {
         fs::remove_all(
             s.host(std::string(kUpdate) +
                    "/Solvane.app/Contents/Resources/Uninstaller.app/Contents/Resources"));
     },
     "Copying Uninstaller branded icon Failed, due to wrong file permissions", "ERROR",
     kEarlyBrandingTrail, false, true, false},
    {"InfoPlist", "Acme Connect",
     [](PatchScenario& s) {
         s.write(std::string(kUpdate) + "/Solvane.app/Contents/Info.plist", "garbage");
     },
     "Changing info.plist for branded application failed", "ERROR", kLateBrandingTrail, false, true,
     false},
    {"ExecutableName", "Acme Connect",
     [](PatchScenario& s) {
         fs::remove(s.host(std::string(kUpdate) + "/Solvane.app/Contents/MacOS/Solvane"));
     },
     "Changing exec name of branded application failed", "ERROR", kLateBrandingTrail, false, true,
     false},
    {"Deletion", "Solvane",
     [](PatchScenario& s) {
         s.write("/Library/Locked/settings", "kept");
         lockFolder(s, "/Library/Locked");
         s.stageUpdate(kUpdate, "Solvane", Array{entry("settings", "/Library/Locked")},
                       std::nullopt);
     },
     "Deleting the above file failed, Hence Rolling back to old Software", "ERROR", kRollBackTrail,
     false, true, false},
    {"Copy", "Solvane",
     [](PatchScenario& s) {
         s.stageUpdate(
             kUpdate, "Solvane", std::nullopt,
             Array{entry("logo.icns", "/Applications/Solvane.app/Contents/Resources",
                         std::string(kUpdate) + "/Solvane.app/Contents/Resources/logo.icns"),
                   entry("missing", "/Applications/Solvane.app/Contents/Resources",
                         std::string(kUpdate) + "/missing")});
     },
     "Copying the above file failed, Hence rolling back", "ERROR", kRollBackTrail, false, true,
     false},
    {"Success",
     "Solvane",
     [](PatchScenario&) {},
     "",
     "",
     {"remove update", "remove backup", "copy directory", "remove patcher", "remove profile backup",
      "status", "launch", "completed"},
     true,
     true,
     false},
};

class EndingTest : public ::testing::TestWithParam<EndingCase> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testing_support::PrivateRoot::available())
            << "bubblewrap cannot make a private root on this machine";
    }
};

TEST_P(EndingTest, AnnouncesCleansUpAndReports) {
    const EndingCase& ending = GetParam();
    PatchScenario scenario;
    scenario.installApplication(ending.installedName);
    scenario.addUserDirectoryFiles();
    scenario.addProfileBackup({"a", "b", "c", ".hidden"});
    scenario.stageUpdate(kUpdate, ending.installedName, Array{}, Array{});
    ending.arrange(scenario);

    auto result = scenario.run({kUpdate});

    EXPECT_EQ(result.exitStatus, ending.status ? 0 : 1) << result.output;
    std::vector<std::pair<std::string, std::string>> lines = scenario.logLines();
    auto announced =
        std::find(lines.begin(), lines.end(),
                  std::pair<std::string, std::string>(ending.level, ending.announcement));
    if (!ending.announcement.empty()) {
        ASSERT_NE(announced, lines.end()) << scenario.logText();
        EXPECT_EQ(
            std::count_if(lines.begin(), lines.end(),
                          [&](const auto& line) { return line.second == ending.announcement; }),
            1);
    }
    EXPECT_EQ(scenario.cleanUpTrail(), ending.trail);
    bool updateRemoved = std::count(ending.trail.begin(), ending.trail.end(), "remove update") > 0;
    EXPECT_NE(scenario.exists(kUpdate), updateRemoved);
    EXPECT_EQ(result.output.find("see " + std::string(kSupport) + "/Solvane/SoftwarePatcher.log") !=
                  std::string::npos,
              !ending.status)
        << result.output;
    EXPECT_EQ(scenario.status(), ending.status);
    std::string bundle = "/Applications/" + ending.installedName + ".app";
    EXPECT_EQ(scenario.root().openCalls(), ending.launched
                                               ? std::vector<std::string>{"[" + bundle + "]"}
                                               : std::vector<std::string>{});
    EXPECT_FALSE(scenario.exists(kProfileBackup));
    EXPECT_EQ(scenario.exists(kSoftwareBackup), ending.backupLeft);
    EXPECT_EQ(scenario.exists(scenario.patcherPath()), !ending.status);
    // The user's directory files are what the profile backup held after a failure, and untouched
    // after success.
    EXPECT_EQ(scenario.exists(std::string(kUserDirectory) + "/a"), !ending.status);
    EXPECT_EQ(scenario.exists(std::string(kUserDirectory) + "/profile.dat"), ending.status);
}

INSTANTIATE_TEST_SUITE_P(Patcher, EndingTest, ::testing::ValuesIn(kEndings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PatcherEnding, WithoutArgumentRestoresProfileAndLaunchesNothing) {
    ASSERT_TRUE(testing_support::PrivateRoot::available())
        << "bubblewrap cannot make a private root on this machine";
    PatchScenario scenario;
    scenario.installApplication("Solvane");
    scenario.addUserDirectoryFiles();
    scenario.addProfileBackup({"a", "b", "c", "d"});

    auto result = scenario.run({});

    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.output.find("usage: Ostrel <update content folder> (log: " +
                                 std::string(kSupport) + "/Solvane/SoftwarePatcher.log)"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(scenario.messages().front(),
              "**********************Software Pathcer Started**********************");
    EXPECT_EQ(scenario.logLines().at(1),
              (std::pair<std::string, std::string>(
                  "DEBUG",
                  "Parameters not passed during the launch of patcher, Update Content path should "
                  "be passesd as a parameter to software patcher. Software patching failed")));
    EXPECT_EQ(scenario.cleanUpTrail(),
              (std::vector<std::string>{"status", "restore profile", "remove profile backup"}));
    EXPECT_EQ(scenario.status(), false);
    EXPECT_TRUE(scenario.root().openCalls().empty());
    EXPECT_EQ(scenario.read(std::string(kUserDirectory) + "/d"), "d");
    EXPECT_TRUE(scenario.exists(scenario.patcherPath()));
}

}  // namespace
}  // namespace ostrel_test
