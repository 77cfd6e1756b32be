// "Ostrel --check" in a private root: each problem that would fail a run is found, once, without
// changing anything; a good update gives 0 and the very commands the run then logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

#include "common/plist.h"
#include "mkupdate/update_builder.h"
#include "patch_scenario.h"

namespace ostrel_test {
namespace {

namespace fs = std::filesystem;
using corvant::Array;

const std::string kApp = "/Applications/Solvane.app";
const std::string kBrandedApp = "/Applications/Acme Connect.app";
const std::string kDownload = std::string(kUpdate) + "/Solvane.app";

struct CheckCase {
    const char* name;
    std::string installedName;
    std::function<void(PatchScenario&)> arrange;
    std::string problem;  // the start of the one problem line, after "Ostrel: "
};

void lock(PatchScenario& s, const std::string& path, fs::perms perms) {
    fs::permissions(s.host(path), perms);
}

void describe(PatchScenario& s, std::optional<Array> deletions, std::optional<Array> copies,
              const std::string& name = "Solvane") {
    s.stageUpdate(kUpdate, name, std::move(deletions), std::move(copies));
}

const fs::perms kReadOnly = fs::perms::owner_read | fs::perms::owner_exec;

const std::string kPatched = "/Contents/Resources/data";

// Replaces the update with the delta update that ostrel-mkupdate makes from the installed bundle
// (as version 1.0) to 2.0, in which kPatched grew: its copy's source is made by a patch.
void shipDelta(PatchScenario& s) {
    std::string lines;
    for (int i = 0; i < 300; ++i) lines += "line " + std::to_string(i) + "\n";
    auto version = [&](const std::string& bundle, const std::string& number) {
        corvant::writeDictionaryToFile(
            {{"CFBundleExecutable", "Solvane"}, {"CFBundleVersion", number}},
            s.host(bundle + "/Contents/Info.plist"));
        s.write(bundle + kPatched, lines + "version " + number + "\n");
    };
    version(kApp, "1.0");
    const std::string versions = "/Users/tester/versions";
    fs::create_directories(s.host(versions));
    fs::copy(s.host(kApp), s.host(versions + "/old.app"), fs::copy_options::recursive);
    fs::copy(s.host(kApp), s.host(versions + "/new.app"), fs::copy_options::recursive);
    version(versions + "/new.app", "2.0");
    fs::remove_all(s.host(kUpdate));
    std::string error;
    ostrel::UpdateRequest request;
    request.oldBundle = s.host(versions + "/old.app").string();
    request.newBundle = s.host(versions + "/new.app").string();
    request.out = s.host(kUpdate).string();
    request.unpackRoot = kUpdate;
    request.delta = true;
    std::optional<ostrel::UpdateSummary> made = ostrel::makeUpdate(request, error);
    ASSERT_TRUE(made && made->patched > 0) << error;
}

const CheckCase kProblems[] = {
    {"NoDescription", "Solvane",
     [](PatchScenario& s) { fs::remove(s.host(std::string(kUpdate) + "/UpdateInfo.plist")); },
     "UpdateInfo.plist missing at " + std::string(kUpdate) + "/UpdateInfo.plist"},
    {"DescriptionNotADictionary", "Solvane",
     [](PatchScenario& s) { s.writeDescription(kUpdate, "garbage"); },
     std::string(kUpdate) + "/UpdateInfo.plist is not a dictionary"},
    {"NoInstalledApplication", "Solvane", [](PatchScenario& s) { fs::remove_all(s.host(kApp)); },
     "the installed application " + kApp + " is not there"},
    {"BackupFolderCannotBeMade", "Solvane", [](PatchScenario& s) { lock(s, kSupport, kReadOnly); },
     "the backup folder " + std::string(kSoftwareBackup) + " cannot be made"},
    {"UnreadableInstalledFile", "Solvane",
     [](PatchScenario& s) { lock(s, kApp + "/Contents/Resources/logo.icns", fs::perms::none); },
     "the backup would fail: " + kApp + "/Contents/Resources/logo.icns cannot be read"},
    // An Info.plist that cannot be read could hold a key.
    {"MalformedInfoPlistOfAReachedBundle", "Solvane",
     [](PatchScenario& s) {
         s.installApplication("Other");
         s.write("/Applications/Other.app/Contents/Info.plist", "<plist><dict><key>");
         describe(s, Array{entry("Other", "/Applications/Other.app/Contents/MacOS")}, std::nullopt);
     },
     "the update would be refused: toBeDeleted entry 1 (Other) reaches the bundle "
     "/Applications/Other.app at /Applications/Other.app/Contents/MacOS/Other, and "
     "/Applications/Other.app/Contents/Info.plist cannot be read whole (it is malformed"},
    {"NoBrandedIcon", "Acme Connect",
     [](PatchScenario& s) { fs::remove(s.host(kBrandedApp + "/Contents/Resources/logo.icns")); },
     "the branded icon " + kBrandedApp + "/Contents/Resources/logo.icns is missing"},
    {"DownloadedInfoPlistUnreadable", "Acme Connect",
     [](PatchScenario& s) { s.write(kDownload + "/Contents/Info.plist", "garbage"); },
     kDownload + "/Contents/Info.plist cannot be read as a dictionary"},
    {"NoDownloadedExecutable", "Acme Connect",
     [](PatchScenario& s) { fs::remove(s.host(kDownload + "/Contents/MacOS/Solvane")); },
     "the executable " + kDownload + "/Contents/MacOS/Solvane is missing"},
    {"UnusableEntry", "Solvane",
     [](PatchScenario& s) { describe(s, Array{entry("x", "Contents")}, std::nullopt); },
     "toBeDeleted entry 1 has a filePath that is not absolute"},
    {"ListNotAnArray", "Solvane",
     [](PatchScenario& s) {
         corvant::writeDictionaryToFile(
             {{"InstalledApplicationName", "Solvane"}, {"toBeCopied", "x"}},
             s.host(std::string(kUpdate) + "/UpdateInfo.plist"));
     },
     "toBeCopied is not a list of entries"},
    {"MissingSource", "Solvane",
     [](PatchScenario& s) {
         describe(s, std::nullopt,
                  Array{entry("x", kApp + "/Contents", std::string(kUpdate) + "/missing")});
     },
     "toBeCopied entry 1 (x): the source " + std::string(kUpdate) + "/missing is missing"},
    {"UnreadableSource", "Solvane",
     [](PatchScenario& s) {
         describe(s, std::nullopt,
                  Array{entry("Resources", kApp + "/Contents", kDownload + "/Contents/Resources")});
         lock(s, kDownload + "/Contents/Resources/logo.icns", fs::perms::none);
     },
     "toBeCopied entry 1 (Resources): " + kDownload +
         "/Contents/Resources/logo.icns cannot be read by the user"},
    {"WholeApplicationSourceEmpty", "Solvane",
     [](PatchScenario& s) {
         s.write(std::string(kUpdate) + "/empty/.hidden", "x");
         describe(s, std::nullopt,
                  Array{entry("Solvane.app", "/Applications/", std::string(kUpdate) + "/empty")});
     },
     "toBeCopied entry 1 (Solvane.app): the source " + std::string(kUpdate) +
         "/empty holds nothing to copy"},
    {"TargetFolderMissing", "Solvane",
     [](PatchScenario& s) {
         describe(s, std::nullopt,
                  Array{entry("x", kApp + "/Contents/New", kDownload + "/Contents/Info.plist")});
     },
     "toBeCopied entry 1 (x): the folder " + kApp + "/Contents/New of " + kApp +
         "/Contents/New/x is missing"},
    // The folder is there before the run, but an earlier deletion of the run removes it.
    {"TargetFolderDeletedBefore", "Solvane",
     [](PatchScenario& s) {
         describe(s, Array{entry("Resources", kApp + "/Contents")},
                  Array{entry("logo.icns", kApp + "/Contents/Resources",
                              kDownload + "/Contents/Resources/logo.icns")});
     },
     "toBeCopied entry 1 (logo.icns): the folder " + kApp + "/Contents/Resources of"},
    {"TargetFolderReadOnly", "Solvane",
     [](PatchScenario& s) {
         describe(
             s, std::nullopt,
             Array{entry("Info.plist", kApp + "/Contents", kDownload + "/Contents/Info.plist")});
         lock(s, kApp + "/Contents", kReadOnly);
     },
     "toBeCopied entry 1 (Info.plist): the folder " + kApp + "/Contents is not writable"},
    {"CopyTargetHoldsAMount", "Solvane",
     [](PatchScenario& s) {
         s.write(kDownload + "/Contents/Resources/Data/y", "new");
         s.root().bindFolder(kApp + "/Contents/Resources/Data/stuck");
         describe(s, std::nullopt,
                  Array{entry("Data", kApp + "/Contents/Resources",
                              kDownload + "/Contents/Resources/Data")});
     },
     "toBeCopied entry 1 (Data): " + kApp + "/Contents/Resources/Data/stuck cannot be removed"},
    // One line for the file, none for the copy whose source its patch would make.
    {"PatchedFileDiffersFromItsBase", "Solvane",
     [](PatchScenario& s) {
         shipDelta(s);
         s.write(kApp + kPatched, "changed since");
     },
     "the update would be refused: Contents/Resources/data cannot be patched: the installed file "
     "is not the one the patch was made from"},
    {"DeletionInReadOnlyFolder", "Solvane",
     [](PatchScenario& s) {
         describe(s, Array{entry("logo.icns", kApp + "/Contents/Resources")}, std::nullopt);
         lock(s, kApp + "/Contents/Resources", kReadOnly);
     },
     "toBeDeleted entry 1 (logo.icns): " + kApp +
         "/Contents/Resources/logo.icns cannot be deleted"},
};

class CheckTest : public ::testing::TestWithParam<CheckCase> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testing_support::PrivateRoot::available())
            << "bubblewrap cannot make a private root on this machine";
    }
};

// What a check must never do: write the log or the status file, make a backup, remove the update
// or the patcher, or relaunch.
void expectNothingChanged(PatchScenario& s) {
    EXPECT_FALSE(s.exists(std::string(kSupport) + "/Solvane/SoftwarePatcher.log"));
    EXPECT_FALSE(s.exists(std::string(kSupport) + "/PatcherStatusFile.plist"));
    EXPECT_FALSE(s.exists(kSoftwareBackup));
    EXPECT_TRUE(s.exists(kUpdate));
    EXPECT_TRUE(s.exists(s.patcherPath()));
    EXPECT_TRUE(s.root().openCalls().empty());
}

TEST_P(CheckTest, FindsEachProblemOnceAndChangesNothing) {
    const CheckCase& row = GetParam();
    PatchScenario s;
    s.installApplication(row.installedName);
    s.addUserDirectoryFiles();
    describe(s, Array{}, Array{}, row.installedName);
    row.arrange(s);

    auto result = s.run({"--check", kUpdate});

    EXPECT_EQ(result.exitStatus, 1) << result.output;
    std::istringstream lines(result.output);
    std::vector<std::string> problems;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("Ostrel: ", 0) == 0) problems.push_back(line.substr(8));
    ASSERT_EQ(problems.size(), 1u) << result.output;
    EXPECT_EQ(problems[0].rfind(row.problem, 0), 0u) << problems[0];
    EXPECT_NE(result.output.find("verdict: a run would not apply the update"), std::string::npos);
    expectNothingChanged(s);
}

INSTANTIATE_TEST_SUITE_P(Patcher, CheckTest, ::testing::ValuesIn(kProblems),
                         [](const auto& info) { return std::string(info.param.name); });

// The maker's folder that the run makes (with any folder missing above it) before its backup,
// arranged in the ways a home folder may hold it: the check's verdict is the run's outcome.
struct AgreementCase {
    const char* name;
    std::function<void(PatchScenario&)> arrange;
    bool applies;
};

const std::string kApplicationSupport = "/Users/tester/Library/Application Support";

const AgreementCase kAgreements[] = {
    {"FreshHome", [](PatchScenario& s) { fs::remove_all(s.host(kApplicationSupport)); }, true},
    {"FileWhereTheFolderGoes",
     [](PatchScenario& s) {
         fs::remove_all(s.host(kSupport));
         s.write(kSupport, "x");
     },
     true},
    {"FileInTheWayAndItsAsideNameTaken",
     [](PatchScenario& s) {
         fs::remove_all(s.host(kSupport));
         s.write(kSupport, "x");
         s.write(std::string(kSupport) + ".org", "x");
     },
     false},
    // Each copy's source is a file that the run makes from the installed one first.
    {"DeltaUpdate", shipDelta, true},
    {"AncestorReadOnly",
     [](PatchScenario& s) {
         fs::remove_all(s.host(kSupport));
         lock(s, kApplicationSupport, kReadOnly);
     },
     false},
};

class CheckAgreementTest : public ::testing::TestWithParam<AgreementCase> {
  protected:
    void SetUp() override { ASSERT_TRUE(testing_support::PrivateRoot::available()); }
};

TEST_P(CheckAgreementTest, VerdictIsTheRunsOutcome) {
    const AgreementCase& row = GetParam();
    PatchScenario s;
    s.installApplication("Solvane");
    describe(s, Array{}, Array{});
    row.arrange(s);

    auto check = s.run({"--check", kUpdate});
    EXPECT_EQ(check.exitStatus, row.applies ? 0 : 1) << check.output;
    EXPECT_EQ(s.run({kUpdate}).exitStatus, row.applies ? 0 : 1) << s.logText();
}

INSTANTIATE_TEST_SUITE_P(Patcher, CheckAgreementTest, ::testing::ValuesIn(kAgreements),
                         [](const auto& info) { return std::string(info.param.name); });

// The commands the patcher logged, in order, by the texts that introduce them.
std::vector<std::string> loggedCommands(const PatchScenario& s) {
    static const char* const kIntroductions[] = {
        "Software backup Started\nExcecuting ",
        "Copying branded icon, Executing ",
        "Copying Uninstaller branded icon, Executing ",
        "Changing exec name of branded application, Executing ",
        "Executing : ",
        "Removing existing files before copying  : ",
        "Executing  : ",
        "Deleting the tmp folder, Executing :",
        "Removing Backup Folder, Executing :",
        "Copying Latest Directory Files back to application, Executing :",
        "Deleting Existing Patcher Folder, Executing :",
        "Removing profile BackUp Folder- Executing :",
        "Launching Application, Executing :",
    };
    std::vector<std::string> commands;
    for (const std::string& message : s.messages())
        for (const char* introduction : kIntroductions)
            if (message.rfind(introduction, 0) == 0) {
                commands.push_back(message.substr(std::string(introduction).size()));
                break;
            }
    return commands;
}

// A good update of a branded installation: the check answers 0 and its plan is what the run then
// runs, in order, as its log shows each command (the copy-back's emptying is not logged).
TEST_F(CheckTest, GoodUpdatePlansWhatTheRunRuns) {
    PatchScenario s;
    s.installApplication("Acme Connect");
    s.addUserDirectoryFiles();
    s.write(std::string(kUserDirectory) + "/.preferences", "hidden");
    s.addProfileBackup({"a", "b", "c", ".hidden"});
    s.write(kDownload + "/Contents/Resources/New Folder/it's new", "new");
    describe(s, Array{entry("obsolete.txt", kApp + "/Contents/Resources")},
             Array{entry("New Folder", kApp + "/Contents/Resources",
                         kDownload + "/Contents/Resources/New Folder"),
                   entry("Solvane", kApp + "/Contents/MacOS",
                         kDownload + "/Contents/MacOS/Acme Connect")},
             "Acme Connect");

    auto check = s.run({"--check", kUpdate});
    ASSERT_EQ(check.exitStatus, 0) << check.output;
    expectNothingChanged(s);
    auto planStart = check.output.find("plan:\n");
    auto planEnd = check.output.find("verdict: a run would apply the update");
    ASSERT_NE(planStart, std::string::npos) << check.output;
    ASSERT_NE(planEnd, std::string::npos) << check.output;
    std::istringstream planText(check.output.substr(planStart + 6, planEnd - planStart - 6));
    std::vector<std::string> plan;
    const std::string emptying =
        "rm -Rf /Applications/Acme\\ Connect.app" + std::string(kFrameworkDirectory) + "/*";
    for (std::string line; std::getline(planText, line);)
        if (line != emptying) plan.push_back(line);

    ASSERT_EQ(s.run({kUpdate}).exitStatus, 0) << s.logText();
    EXPECT_EQ(plan, loggedCommands(s));
    EXPECT_EQ(plan.size(), 16u) << check.output;
}

}  // namespace
}  // namespace ostrel_test
