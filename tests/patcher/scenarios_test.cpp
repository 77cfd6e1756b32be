// Whole patch runs in a private root: where entries land, branding, profile files, roll back,
// hostile names, and the folders and files a run must never remove.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include "common/command.h"
#include "common/format.h"
#include "common/plist.h"
#include "mkupdate/manifest_writer.h"
#include "patch_scenario.h"
#include "patcher/file_patch.h"
#include "patcher/sha256.h"
#include "patcher/update_description.h"

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
        for (const std::string& name : GetParam().entries)
            EXPECT_EQ(fresh.exists(std::string(kUserDirectory) + "/" + name), restored) << name;
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
    s.write(std::string(kUserDirectory) + "/.preferences", "hidden");
    s.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    std::string directory = std::string("/Applications/Solvane.app") + kFrameworkDirectory;
    s.write(directory + "/stale.dat", "the application's own, not the user's");
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 0);
    EXPECT_EQ(s.read(directory + "/installer.ini"), "ApplicationName=user\n");
    EXPECT_EQ(s.read(directory + "/profile.dat"), "user profile");
    EXPECT_EQ(s.read(directory + "/.preferences"), "hidden");
    EXPECT_FALSE(s.exists(directory + "/stale.dat"));
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
    s.write(update + "/Solvane.app/Contents/Resources/added.dat", "new in the update");
    EXPECT_EQ(s.run({update}).exitStatus, 1) << s.logText();

    EXPECT_TRUE(s.logged("Software Rolled Back successfull")) << s.logText();
    EXPECT_EQ(s.read(bundle + "/Contents/MacOS/" + name), "executable installed");
    EXPECT_FALSE(s.exists(bundle + "/Contents/MacOS/Solvane"));
    EXPECT_FALSE(s.exists(bundle + "/Contents/Resources/added.dat"));
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
                      KeptFolderCase{"PackageTree", "/usr/local/libexec/Ostrel/Ostrel",
                                     "/usr/local"},
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

// Only an update is removed as the update folder: not a folder without a usable description,
// however it is named, and not the home folder even when it holds one.
TEST_F(PatchRunTest, FolderThatIsNotAnUpdateIsKept) {
    struct Case {
        const char* argument;
        const char* file;  // a file of the user's inside the folder
        bool holdsDescription;
    };
    for (const Case& c : {Case{"/Users/tester/", "/Users/tester/Documents/letter", true},
                          Case{"/Users/tester/mydocs", "/Users/tester/mydocs/letter", false},
                          Case{"--help", "/Users/tester/--help/letter", false}}) {
        SCOPED_TRACE(c.argument);
        PatchScenario fresh;
        fresh.installApplication("Solvane");
        fresh.write(c.file, "mine");
        if (c.holdsDescription)
            fresh.stageUpdate(c.argument, "Solvane", std::nullopt, std::nullopt);
        fresh.run({c.argument});
        EXPECT_EQ(fresh.read(c.file), "mine");
        for (const std::string& message : fresh.messages())
            EXPECT_EQ(message.rfind("Deleting the tmp folder", 0), std::string::npos) << message;
    }
}

TEST_F(PatchRunTest, UpdateFolderNamedLikeAnOptionIsAPath) {
    prepare("Solvane");
    s.stageUpdate("/Users/tester/-update", "Solvane", std::nullopt, std::nullopt);
    EXPECT_EQ(s.run({"-update"}).exitStatus, 0) << s.logText();
    EXPECT_TRUE(s.logged("Deleting the tmp folder, Executing :rm -Rf /Users/tester/-update"));
    EXPECT_FALSE(s.exists("/Users/tester/-update"));
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
                  "toBeCopied entry 1 has no text for unzippedFilePath", kCopyFailed},
        EntryCase{"OptionLikeSource", Array{}, Array{entry("logo.icns", kResources, "--version")},
                  "toBeCopied entry 1 has an unzippedFilePath that is not absolute", kCopyFailed}),
    [](const auto& info) { return std::string(info.param.name); });

const std::string kApp = "/Applications/Solvane.app";
const std::string kDownloaded = std::string(kUpdate) + "/Solvane.app";
const std::string kManifest = std::string(kUpdate) + "/UpdateManifest.plist";
const std::string kVendorKey = "/Users/tester/vendor/key";  // and /Users/tester/vendor/other

std::string repeated(const std::string& text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i) result += text;
    return result;
}

void makeKey(PatchScenario& s, const std::string& prefix) {
    fs::create_directories(s.host(prefix).parent_path());
    std::string error;
    ASSERT_TRUE(ostrel::generateKeyPair(s.host(prefix).string(), error)) << error;
}

// Sets `key` of the installed Info.plist to `value`, or removes it when `value` is empty.
void setInstalledInfo(PatchScenario& s, const std::string& key, const std::string& value) {
    std::string info = s.host(kApp + "/Contents/Info.plist");
    corvant::Dictionary fields = corvant::readDictionaryFromFile(info).value();
    fields.erase(key);
    if (!value.empty()) fields[key] = value;
    corvant::writeDictionaryToFile(fields, info);
}

void setInstalledKey(PatchScenario& s, const std::string& prefix) {
    setInstalledInfo(s, ostrel::kPublicKeyKey, prefix.empty() ? "" : s.read(prefix + ".pub"));
}

// What the vendor ships: the manifest of the update as it stands, from 1.0 to 2.0, signed by
// `prefix`.key.
void signUpdate(PatchScenario& s, const std::string& prefix) {
    std::string error;
    fs::remove(s.host(kManifest));
    auto manifest = ostrel::manifestText(s.host(kUpdate), {"1.0", "2.0"}, error);
    ASSERT_TRUE(manifest) << error;
    s.write(kManifest, *manifest);
    auto key = ostrel::readSecretKey(s.host(prefix + ".key"), error);
    ASSERT_TRUE(key) << error;
    s.write(kManifest + ".sig", ostrel::signatureText(*manifest, *key));
}

// An unsigned update for the keyless installation "Other" whose one entry reaches the keyed
// Solvane.app by another spelling of its path.
void reachFromAnotherBundle(PatchScenario& s, std::optional<Array> deletions,
                            std::optional<Array> copies) {
    s.installApplication("Other");
    s.stageUpdate(kUpdate, "Other", std::move(deletions), std::move(copies));
    fs::remove(s.host(kManifest));
    fs::remove(s.host(kManifest + ".sig"));
}

const std::string kUnsignedReach =
    ", and the update carries no UpdateManifest.plist signed by its OstrelPublicKey";
const std::string kReachedExecutable =
    " reaches the bundle " + kApp + " at " + kApp + "/Contents/MacOS/Solvane" + kUnsignedReach;

// Writes `manifest` as the update's manifest, signed by `prefix`.key.
void signManifest(PatchScenario& s, const std::string& prefix, const std::string& manifest) {
    std::string error;
    auto key = ostrel::readSecretKey(s.host(prefix + ".key"), error);
    ASSERT_TRUE(key) << error;
    s.write(kManifest, manifest);
    s.write(kManifest + ".sig", ostrel::signatureText(manifest, *key));
}

// A description of `deletions` entries, as XML text.
std::string longDescription(int deletions) {
    std::string text =
        "<plist><dict><key>InstalledApplicationName</key><string>Solvane</string>"
        "<key>toBeDeleted</key><array>";
    for (int i = 0; i < deletions; ++i)
        text += "<dict><key>ActualFileName</key><string>f" + std::to_string(i) +
                "</string><key>filePath</key><string>" + kApp + "/Contents</string></dict>";
    return text + "</array></dict></plist>";
}

const std::string kPatched = "Contents/Resources/data";

// Text of `size` bytes that a patch from one version to the next shrinks well.
std::string versionText(std::size_t size, char mark) {
    std::string text;
    for (std::size_t i = 0; text.size() < size; ++i) text += "line " + std::to_string(i) + "\n";
    text.resize(size);
    text[size / 2] = mark;
    return text;
}

// Makes the signed update a delta one: the installation holds the old Contents/Resources/data, the
// update ships a patch of it to the new one. `edit` may change the patch and its manifest record
// before the manifest is signed again by the vendor's key.
void shipDelta(PatchScenario& s,
               const std::function<void(ostrel::PatchedFile&, std::string&)>& edit = {}) {
    const std::string base = versionText(6000, 'o');
    const std::string next = versionText(6000, 'n');
    s.write(kApp + "/" + kPatched, base);
    s.write("/Users/tester/vendor/data", next);
    ostrel::PatchMaking making = ostrel::makeFilePatch(
        s.host(kApp + "/" + kPatched).string(), s.host("/Users/tester/vendor/data").string());
    ASSERT_TRUE(making.patch) << making.why;
    std::string patch = *making.patch;
    auto identity = [](const std::string& bytes) {
        return ostrel::FileIdentity{bytes.size(), ostrel::sha256Hex(bytes)};
    };
    ostrel::PatchedFile file{kPatched, identity(base), identity(patch), identity(next), 0644};
    if (edit) edit(file, patch);
    fs::remove(s.host(kDownloaded + "/" + kPatched));
    s.write(ostrel::patchOf(kUpdate, kPatched), patch);
    std::string error;
    auto manifest = ostrel::manifestText(s.host(kUpdate), {"1.0", "2.0"}, {file}, error);
    ASSERT_TRUE(manifest) << error;
    signManifest(s, kVendorKey, *manifest);
}

const std::string kCannotPatch = kPatched + " cannot be patched: ";

struct RefusalCase {
    const char* name;
    std::function<void(PatchScenario&)> tamper;
    std::string reason;        // in the one error line and in the check's problem
    bool baseDiffers = false;  // the status file tells the client to fetch the full update
};

// An update from 1.0 that copies the whole downloaded bundle, signed by the installed
// application's key.
class SignedUpdateTest : public PatchRunTest {
  protected:
    void stageSignedUpdate() {
        prepare("Solvane");
        s.stageUpdate(kUpdate, "Solvane", std::nullopt,
                      Array{entry("Solvane.app", "/Applications/", kDownloaded)});
        fs::create_symlink("MacOS/Solvane", s.host(kDownloaded + "/Contents/Current"));
        makeKey(s, kVendorKey);
        setInstalledKey(s, kVendorKey);
        setInstalledInfo(s, "CFBundleShortVersionString", "1.0");
        signUpdate(s, kVendorKey);
    }
};

// The patched file is made from the installed one, the check saying so first.
TEST_F(SignedUpdateTest, DeltaUpdateMakesItsFilesFromTheInstalledOnes) {
    stageSignedUpdate();
    shipDelta(s);
    auto check = s.run({"--check", kUpdate});
    EXPECT_EQ(check.exitStatus, 0) << check.output;
    EXPECT_NE(check.output.find("note: patched file " + kPatched +
                                ": the installed file is its base, and the patch makes it"),
              std::string::npos)
        << check.output;

    EXPECT_EQ(s.run({kUpdate}).exitStatus, 0) << s.logText();
    EXPECT_EQ(s.read(kApp + "/" + kPatched), versionText(6000, 'n'));
    EXPECT_EQ(s.status(), true);
}

class ManifestRefusalTest : public SignedUpdateTest,
                            public ::testing::WithParamInterface<RefusalCase> {};

// The signed update changed after signing or applied to another installation in one way each:
// refused before the backup, the installation untouched, the check agreeing.
TEST_P(ManifestRefusalTest, EndsBeforeChangingAnything) {
    stageSignedUpdate();
    GetParam().tamper(s);
    auto installed = snapshot(s.host(kApp));

    auto check = s.run({"--check", kUpdate});
    EXPECT_EQ(check.exitStatus, 1);
    EXPECT_NE(
        check.output.find(std::string("Ostrel: the update would be refused: ") + GetParam().reason),
        std::string::npos)
        << check.output;

    EXPECT_EQ(s.run({kUpdate}).exitStatus, 1);
    std::vector<std::string> errors;
    for (const auto& [level, message] : s.logLines())
        if (level == "ERROR") errors.push_back(message);
    ASSERT_EQ(errors.size(), 1u) << s.logText();
    EXPECT_LT(s.logText().size(), 8192u) << "nothing unsigned is shown at length";
    EXPECT_EQ(errors[0],
              std::string("Update refused, Hence Patching failed : ") + GetParam().reason);
    EXPECT_EQ(snapshot(s.host(kApp)), installed);
    corvant::Dictionary status{{"PatcherStatus", false}};
    if (GetParam().baseDiffers) status["DeltaBaseDiffers"] = true;
    EXPECT_EQ(corvant::readDictionaryFromFile(
                  s.host(std::string(kSupport) + "/PatcherStatusFile.plist").string()),
              status);
    EXPECT_FALSE(s.exists(kSoftwareBackup));
    EXPECT_EQ(s.cleanUpTrail(),
              (std::vector<std::string>{"remove update", "status", "restore profile",
                                        "remove profile backup", "launch"}));
}

INSTANTIATE_TEST_SUITE_P(
    Patcher, ManifestRefusalTest,
    ::testing::Values(
        RefusalCase{"MissingItem",
                    [](PatchScenario& s) {
                        fs::remove(s.host(kDownloaded + "/Contents/Resources/logo.icns"));
                    },
                    "the update does not match UpdateManifest.plist: "
                    "Contents/Resources/logo.icns is missing"},
        RefusalCase{"ExtraItem",
                    [](PatchScenario& s) { s.write(kDownloaded + "/Contents/MacOS/extra", "x"); },
                    "the update does not match UpdateManifest.plist: Contents/MacOS/extra is in "
                    "the update but not in the manifest"},
        RefusalCase{"ChangedBytes",
                    [](PatchScenario& s) {
                        s.write(kDownloaded + "/Contents/MacOS/Solvane", "executable downloadeD");
                    },
                    "the update does not match UpdateManifest.plist: Contents/MacOS/Solvane "
                    "differs in its bytes from the manifest"},
        RefusalCase{"ChangedBits",
                    [](PatchScenario& s) {
                        fs::permissions(s.host(kDownloaded + "/Contents/MacOS/Solvane"),
                                        fs::perms::owner_exec, fs::perm_options::add);
                    },
                    "the update does not match UpdateManifest.plist: Contents/MacOS/Solvane has "
                    "permission bits 0744 in the update, 0644 in the manifest"},
        RefusalCase{"ChangedLink",
                    [](PatchScenario& s) {
                        fs::remove(s.host(kDownloaded + "/Contents/Current"));
                        fs::create_symlink("/bin/sh", s.host(kDownloaded + "/Contents/Current"));
                    },
                    "the update does not match UpdateManifest.plist: Contents/Current links to "
                    "/bin/sh in the update, to MacOS/Solvane in the manifest"},
        RefusalCase{"BadSignature",
                    [](PatchScenario& s) {
                        std::string error;
                        auto key = ostrel::readSecretKey(s.host(kVendorKey + ".key"), error);
                        s.write(kManifest + ".sig", ostrel::signatureText("another", *key));
                    },
                    "UpdateManifest.plist.sig is not a signature of UpdateManifest.plist by the "
                    "installed application's OstrelPublicKey"},
        RefusalCase{"WrongKey",
                    [](PatchScenario& s) {
                        makeKey(s, "/Users/tester/vendor/other");
                        signUpdate(s, "/Users/tester/vendor/other");
                    },
                    "UpdateManifest.plist.sig is not a signature of UpdateManifest.plist by the "
                    "installed application's OstrelPublicKey"},
        RefusalCase{"NoManifestThoughTheKeyRequiresOne",
                    [](PatchScenario& s) { fs::remove(s.host(kManifest)); },
                    "the update carries no UpdateManifest.plist, and the installed "
                    "application's OstrelPublicKey requires one"},
        // Refused on the manifest's record of the description, before any of it is parsed.
        RefusalCase{"UnsignedLongDescription",
                    [](PatchScenario& s) {
                        s.write(std::string(kUpdate) + "/UpdateInfo.plist", longDescription(40000));
                    },
                    "UpdateInfo.plist does not match the one in UpdateManifest.plist"},
        RefusalCase{"ManifestPastTheItemBound",
                    [](PatchScenario& s) {
                        std::string items;
                        for (std::size_t i = 0; i <= ostrel::kMaxUpdateEntries; ++i)
                            items += "<string/>";
                        signManifest(
                            s, kVendorKey,
                            "<plist><dict><key>Items</key><array>" + items +
                                "</array><key>UpdateInfo.plist</key><dict/></dict></plist>");
                    },
                    "UpdateManifest.plist holds a list of more than 100000 entries, the most an "
                    "update may hold"},
        RefusalCase{"ChangedDescription",
                    [](PatchScenario& s) {
                        s.stageUpdate(kUpdate, "Solvane",
                                      Array{entry("Solvane.app", "/Applications/")}, Array{});
                    },
                    "UpdateInfo.plist does not match the one in UpdateManifest.plist"},
        // The vendor's own description reads a source outside the bundle the manifest covers.
        RefusalCase{"SourceOutsideTheBundle",
                    [](PatchScenario& s) {
                        s.write("/Users/tester/elsewhere/Solvane.app/x", "x");
                        s.stageUpdate(kUpdate, "Solvane", std::nullopt,
                                      Array{entry("x", kApp + "/Contents",
                                                  "/Users/tester/elsewhere/Solvane.app/x")});
                        signUpdate(s, kVendorKey);
                    },
                    "toBeCopied entry 1 takes /Users/tester/elsewhere/Solvane.app/x from outside "
                    "/Users/tester/Downloads/Update 1/Solvane.app"},
        // A signed update replayed onto a later version would mix two versions' files.
        RefusalCase{"ReplayOntoAnotherVersion",
                    [](PatchScenario& s) { setInstalledInfo(s, "CFBundleVersion", "3.0"); },
                    "the update is for version 1.0, the installed application is version 3.0"},
        RefusalCase{"InstalledWithoutVersion",
                    [](PatchScenario& s) { setInstalledInfo(s, "CFBundleShortVersionString", ""); },
                    "the update is for version 1.0, and /Applications/Solvane.app/Contents/"
                    "Info.plist names no version (neither CFBundleVersion nor "
                    "CFBundleShortVersionString)"},
        RefusalCase{"DotInAnotherBundlesTarget",
                    [](PatchScenario& s) {
                        reachFromAnotherBundle(
                            s,
                            Array{entry("Solvane", "/Applications/./Solvane.app/Contents/MacOS")},
                            std::nullopt);
                    },
                    "toBeDeleted entry 1 (Solvane)" + kReachedExecutable},
        RefusalCase{"DoubleSlashInAnotherBundlesTarget",
                    [](PatchScenario& s) {
                        reachFromAnotherBundle(
                            s, Array{entry("Solvane", "/Applications//Solvane.app/Contents/MacOS")},
                            std::nullopt);
                    },
                    "toBeDeleted entry 1 (Solvane)" + kReachedExecutable},
        RefusalCase{"LinkInAnotherBundlesTarget",
                    [](PatchScenario& s) {
                        fs::create_symlink(kApp, s.host(std::string(kUpdate) + "/link"));
                        reachFromAnotherBundle(
                            s, std::nullopt,
                            Array{entry("Solvane", std::string(kUpdate) + "/link/Contents/MacOS",
                                        kDownloaded + "/Contents/MacOS/Solvane")});
                    },
                    "toBeCopied entry 1 (Solvane)" + kReachedExecutable},
        // The first copy puts a link to the keyed bundle in place, the second goes through it.
        RefusalCase{"LinkThatAnEarlierCopyPlaces",
                    [](PatchScenario& s) {
                        std::string brought = std::string(kUpdate) + "/brought";
                        fs::create_directories(s.host(brought));
                        fs::create_symlink(kApp, s.host(brought + "/into"));
                        reachFromAnotherBundle(
                            s, std::nullopt,
                            Array{entry("placed", "/Users/tester", brought),
                                  entry("Solvane", "/Users/tester/placed/into/Contents/MacOS",
                                        kDownloaded + "/Contents/MacOS/Solvane")});
                    },
                    "toBeCopied entry 2 (Solvane)" + kReachedExecutable},
        // The branding's icon copy writes through a link in the downloaded bundle.
        RefusalCase{"LinkInTheDownloadedBundleForTheBranding",
                    [](PatchScenario& s) {
                        reachFromAnotherBundle(s, Array{}, Array{});
                        std::string icon = kDownloaded + "/Contents/Resources/logo.icns";
                        fs::remove(s.host(icon));
                        fs::create_symlink(kApp + "/Contents/Resources/logo.icns", s.host(icon));
                    },
                    "the branding's change of " + kDownloaded +
                        "/Contents/Resources/logo.icns reaches the bundle " + kApp + " at " + kApp +
                        "/Contents/Resources/logo.icns" + kUnsignedReach},
        RefusalCase{"DeletionHoldingAKeyedBundle",
                    [](PatchScenario& s) {
                        reachFromAnotherBundle(s, Array{entry("Applications", "/")}, std::nullopt);
                    },
                    "toBeDeleted entry 1 (Applications) removes /Applications, which holds the "
                    "bundle " +
                        kApp + kUnsignedReach},
        // The key is there, but the reader refuses the list that holds it.
        RefusalCase{"KeyedInfoPlistTooDeep",
                    [](PatchScenario& s) {
                        s.write(kApp + "/Contents/Info.plist",
                                "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>"
                                "OstrelPublicKey</key><string>" +
                                    s.read(kVendorKey + ".pub") + "</string><key>Deep</key>" +
                                    repeated("<array>", 70) + repeated("</array>", 70) +
                                    "</dict></plist>");
                        fs::remove(s.host(kManifest));
                        fs::remove(s.host(kManifest + ".sig"));
                    },
                    "/Applications/Solvane.app/Contents/Info.plist cannot be read whole (it is "
                    "malformed, or nested deeper than property lists are read), so whether it "
                    "carries OstrelPublicKey is unknown"},
        // A delta update made from a file the installation no longer holds as it was.
        RefusalCase{"DeltaOverADriftedBase",
                    [](PatchScenario& s) {
                        shipDelta(s);
                        s.write(kApp + "/" + kPatched, versionText(6000, 'x'));
                    },
                    kCannotPatch +
                        "the installed file is not the one the patch was made from (its SHA-256 "
                        "differs)",
                    true},
        RefusalCase{"DeltaWithoutItsBase",
                    [](PatchScenario& s) {
                        shipDelta(s);
                        fs::remove(s.host(kApp + "/" + kPatched));
                    },
                    kCannotPatch + "the installed file is missing", true},
        RefusalCase{"DeltaPatchChangedAfterSigning",
                    [](PatchScenario& s) {
                        shipDelta(s);
                        s.write(ostrel::patchOf(kUpdate, kPatched), "another patch");
                    },
                    "the update does not match UpdateManifest.plist: the patch "
                    "Patches/Contents/Resources/data differs in its bytes from the manifest"},
        // The vendor's own patch and record disagree with what the patch decodes to.
        RefusalCase{"DeltaPatchTruncated",
                    [](PatchScenario& s) {
                        shipDelta(s, [](ostrel::PatchedFile& file, std::string& patch) {
                            patch.resize(patch.size() - 8);
                            file.patch = {patch.size(), ostrel::sha256Hex(patch)};
                        });
                    },
                    kCannotPatch + "the patch ends before its result is complete"},
        RefusalCase{"DeltaPatchMakesMoreThanListed",
                    [](PatchScenario& s) {
                        shipDelta(s, [](ostrel::PatchedFile& file, std::string&) {
                            file.result.size -= 1;
                        });
                    },
                    kCannotPatch + "the patch makes 6000 bytes, not 5999"},
        RefusalCase{"DeltaPatchMakesAnotherFile",
                    [](PatchScenario& s) {
                        shipDelta(s, [](ostrel::PatchedFile& file, std::string&) {
                            file.result.sha256 = ostrel::sha256Hex("another file");
                        });
                    },
                    kCannotPatch +
                        "the patch does not make the file it is for (the result's SHA-256 "
                        "differs)"},
        // Without a key the manifest still guards against a damaged download.
        RefusalCase{"ChangedBytesWithoutKey",
                    [](PatchScenario& s) {
                        setInstalledKey(s, "");
                        s.write(kDownloaded + "/Contents/Info.plist", "truncated");
                    },
                    "the update does not match UpdateManifest.plist: Contents/Info.plist differs "
                    "in its bytes from the manifest"}),
    [](const auto& info) { return std::string(info.param.name); });

// The keyed bundle's own key lets an update for another installation change it.
TEST_F(PatchRunTest, KeyedBundleReachedFromAnotherUpdateChangesWhenItsKeySigned) {
    prepare("Solvane");
    makeKey(s, kVendorKey);
    setInstalledKey(s, kVendorKey);
    reachFromAnotherBundle(s, std::nullopt,
                           Array{entry("Solvane", "/Applications/./Solvane.app/Contents/MacOS",
                                       kDownloaded + "/Contents/MacOS/Other")});  // renamed
    corvant::writeDictionaryToFile({{"CFBundleVersion", "1.0"}},
                                   s.host("/Applications/Other.app/Contents/Info.plist"));
    signUpdate(s, kVendorKey);

    EXPECT_EQ(s.run({"--check", kUpdate}).exitStatus, 0);
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 0) << s.logText();
    EXPECT_EQ(s.read(kApp + "/Contents/MacOS/Solvane"), "executable downloaded");
}

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

struct ReplacedFolderCase {
    const char* name;
    std::function<void(PatchScenario&, const std::string& folder)> hinder;
    bool replaced;  // the new folder in place; otherwise the run failed and rolled back
};

class ReplacedFolderTest : public PatchRunTest,
                           public ::testing::WithParamInterface<ReplacedFolderCase> {};

// A copied folder whose old version does not simply go: the new folder takes its place exactly,
// or the run fails and rolls back. Never the new folder inside the old one, reported as success.
TEST_P(ReplacedFolderTest, NewFolderTakesThePlaceOfTheOldOrTheRunRollsBack) {
    const std::string data = "/Applications/Solvane.app/Contents/Resources/Data";
    const std::string update = std::string(kUpdate) + "/Data";
    prepare("Solvane");
    s.write(data + "/x", "old x");
    s.write(data + "/ro/f", "old f");
    fs::permissions(s.host(data), fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
    s.write(update + "/y", "new y");
    s.write(update + "/ro/f", "new f");
    fs::permissions(s.host(update), fs::perms::owner_all);
    GetParam().hinder(s, data);
    s.stageUpdate(kUpdate, "Solvane", std::nullopt,
                  Array{entry("Data", "/Applications/Solvane.app/Contents/Resources", update)});

    const bool replaced = GetParam().replaced;
    EXPECT_EQ(s.run({kUpdate}).exitStatus, replaced ? 0 : 1) << s.logText();
    EXPECT_FALSE(s.exists(data + "/Data"));
    EXPECT_EQ(s.read(data + "/ro/f"), replaced ? "new f" : "old f");
    EXPECT_EQ(s.exists(data + "/y"), replaced);
    EXPECT_EQ(s.exists(data + "/x"), !replaced);
    EXPECT_EQ(fs::status(s.host(data)).permissions() & fs::perms::group_all,
              replaced ? fs::perms::none : fs::perms::group_read | fs::perms::group_exec);
    EXPECT_EQ(s.status(), replaced);
    EXPECT_FALSE(s.exists(kSoftwareBackup));
    EXPECT_FALSE(s.exists(kUpdate));
}

INSTANTIATE_TEST_SUITE_P(
    Patcher, ReplacedFolderTest,
    ::testing::Values(
        // "cp -p" installed the subfolder read-only; the user owns it and can open it up.
        ReplacedFolderCase{"ReadOnlySubfolder",
                           [](PatchScenario& s, const std::string& folder) {
                               fs::permissions(s.host(folder + "/ro"),
                                               fs::perms::owner_read | fs::perms::owner_exec);
                           },
                           true},
        ReplacedFolderCase{"MountInside",
                           [](PatchScenario& s, const std::string& folder) {
                               s.root().bindFolder(folder + "/stuck");
                           },
                           false}),
    [](const auto& info) { return std::string(info.param.name); });

// A bundle the user cannot write: each attempt fails at its first deletion, has changed nothing,
// and leaves neither its backup nor the in-progress marker, however often the client retries.
TEST_F(PatchRunTest, AttemptsOnABundleItCannotWriteLeaveNothingBehind) {
    prepare("Solvane");
    const std::string app = "/Applications/Solvane.app";
    constexpr auto kAnyWrite =
        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    for (const auto& item : fs::recursive_directory_iterator(s.host(app)))
        fs::permissions(item.path(), kAnyWrite, fs::perm_options::remove);
    fs::permissions(s.host(app), kAnyWrite, fs::perm_options::remove);
    for (int attempt = 0; attempt < 3; ++attempt) {
        s.stageUpdate(kUpdate, "Solvane", Array{entry("logo.icns", app + "/Contents/Resources")},
                      std::nullopt);
        EXPECT_EQ(s.run({kUpdate}).exitStatus, 1);
    }
    for (const std::string left :
         {"/SoftwareBackup", "/SoftwareBackup.1", "/PatchInProgress.plist"})
        EXPECT_FALSE(s.exists(kSupport + left)) << left;
    EXPECT_TRUE(s.exists(app + "/Contents/Resources/logo.icns"));
    auto lines = s.logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         std::pair<std::string, std::string>(
                             "ERROR", "The installed application " + app +
                                          " cannot be written by this user, starting with " + app)),
              3)
        << s.logText();
    EXPECT_EQ(s.status(), false);
}

// A backup that fills its file system is removed before the status file is written, which then
// finds the room it needs.
TEST_F(PatchRunTest, BackupThatFillsTheDiskGoesBeforeTheStatusFile) {
    prepare("Solvane");
    s.write("/Applications/Solvane.app/Contents/Resources/large.bin", std::string(2 << 20, 'x'));
    s.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    s.root().mountSmallFileSystem(kSupport, 1 << 20);
    s.root().install(OSTREL_EXECUTABLE, s.patcherPath());
    auto result = s.root().run({"/bin/sh", "-c",
                                "\"$0\" \"$1\"; echo \"exit $?\"; cd \"$2\" && ls -A && "
                                "cat PatcherStatusFile.plist",
                                s.patcherPath(), kUpdate, kSupport});
    std::size_t exit = result.output.find("exit 1");
    ASSERT_NE(exit, std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("SoftwareBackup", exit), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("<key>PatcherStatus</key>"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("<false/>"), std::string::npos) << result.output;
}

// The profile backup goes only once every entry of it, hidden ones included, is back in place.
TEST_F(PatchRunTest, FailedProfileRestoreKeepsTheProfileBackup) {
    const std::pair<std::string, fs::perms> lockedPaths[] = {
        {kUserDirectory, fs::perms::owner_read | fs::perms::owner_exec},
        {std::string(kProfileBackup) + "/.hidden", fs::perms::none},
    };
    for (const auto& [locked, permissions] : lockedPaths) {
        SCOPED_TRACE(locked);
        PatchScenario fresh;
        fresh.installApplication("Solvane");
        fresh.addUserDirectoryFiles();
        fresh.addProfileBackup({"a", "b", "c", ".hidden"});
        fs::permissions(fresh.host(locked), permissions);
        EXPECT_EQ(fresh.run({kUpdate}).exitStatus, 1);
        EXPECT_TRUE(fresh.logged("Copying Profile Backup failed")) << fresh.logText();
        EXPECT_FALSE(fresh.logged("Removing profile BackUp Folder succeded"));
        EXPECT_EQ(fresh.read(std::string(kProfileBackup) + "/a"), "a");
    }
}

// A directory folder that is missing, empty, or holds only hidden files (which the "*" of the
// copy leaves out) has no directory files to replace the application's.
TEST_F(PatchRunTest, MissingOrEmptyUserDirectoryKeepsTheApplicationsFiles) {
    const std::vector<std::string> contents[] = {{}, {"."}, {".DS_Store", ".only-hidden"}};
    for (const std::vector<std::string>& names : contents) {
        PatchScenario fresh;
        fresh.installApplication("Solvane");
        for (const std::string& name : names) {
            if (name == ".")
                fs::create_directories(fresh.host(kUserDirectory));
            else
                fresh.write(std::string(kUserDirectory) + "/" + name, "hidden");
        }
        fresh.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
        EXPECT_EQ(fresh.run({kUpdate}).exitStatus, 0);
        auto lines = fresh.logLines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& line) {
            return line.first == "ERROR" && line.second.rfind("No directory files at", 0) == 0;
        })) << fresh.logText();
        EXPECT_EQ(fresh.read(std::string("/Applications/Solvane.app") + kFrameworkDirectory +
                             "/installer.ini"),
                  "ApplicationName=installed\n");
        EXPECT_FALSE(fresh.exists(std::string("/Applications/Solvane.app") + kFrameworkDirectory +
                                  "/.DS_Store"));
    }
}

// Each command is started directly, found on PATH: a stand-in "cp" first on PATH is the one that
// runs, and it receives the words the logged command names, "*" expanded as the shell would
// (sorted, hidden names left out), names with spaces and quotes as single words.
TEST_F(PatchRunTest, StandInCpOnPathReceivesTheExpandedWords) {
    prepare("Solvane");
    s.root().addStub("cp",
                     "printf '[%s]' \"$@\" >> /Stubs/cp.calls; echo >> /Stubs/cp.calls\n"
                     "exec /bin/cp \"$@\"\n");
    s.write(std::string(kUserDirectory) + "/it's b", "b");
    s.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 0) << s.logText();
    const std::string source = std::string(kUserDirectory) + "/";
    const std::string destination = std::string("/Applications/Solvane.app") + kFrameworkDirectory;
    EXPECT_TRUE(
        s.logged("Copying Latest Directory Files back to application, Executing :" +
                 corvant::Command("cp", {"-pHfR", corvant::Command::entriesOf(kUserDirectory),
                                         destination + "/"})
                     .text()));
    std::string calls = s.read("/Stubs/cp.calls");
    EXPECT_NE(calls.find("[-pHfR][" + source + "installer.ini][" + source + "it's b][" + source +
                         "profile.dat][" + destination + "/]\n"),
              std::string::npos)
        << calls;
    EXPECT_EQ(s.read(destination + "/it's b"), "b");
}

// A stand-in that stops the patcher dead (as a kill -9 would) when its arguments hold `pattern`,
// and hands every other call to `command`.
std::string stoppingStub(const std::string& pattern, const std::string& command) {
    return "case \"$*\" in *'" + pattern +
           "'*)\n"
           "    pid=$$\n"
           "    while [ \"$pid\" -gt 1 ]; do\n"
           "        pid=$(sed -n 's/^PPid:[[:space:]]*//p' /proc/$pid/status)\n"
           "        if [ \"$(cat /proc/$pid/comm)\" = Ostrel ]; then kill -9 \"$pid\"; exit 1; fi\n"
           "    done;;\n"
           "esac\n"
           "exec " +
           command + " \"$@\"\n";
}

// A run stopped during its copies leaves the application part old, part new. The next run puts the
// old version back before it makes its own backup, so that its failing copy rolls back to the old
// version rather than to the mix.
TEST_F(PatchRunTest, RunStoppedDuringTheCopiesIsUndoneByTheNext) {
    prepare("Solvane");
    const std::string app = "/Applications/Solvane.app";
    const std::string update = kUpdate;
    s.root().addStub("cp", stoppingStub("stop-here", "/bin/cp"));
    s.write(update + "/stop-here", "x");
    s.stageUpdate(kUpdate, "Solvane", std::nullopt,
                  Array{entry("Solvane", app + "/Contents/MacOS",
                              update + "/Solvane.app/Contents/MacOS/Solvane"),
                        entry("stop-here", app + "/Contents", update + "/stop-here")});
    s.run({kUpdate});
    ASSERT_EQ(s.read(app + "/Contents/MacOS/Solvane"), "executable downloaded") << s.logText();
    ASSERT_EQ(s.status(), std::nullopt) << "the first run was stopped before its end";

    s.stageUpdate(kUpdate, "Solvane", std::nullopt,
                  Array{entry("missing", app + "/Contents", update + "/missing")});
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 1);
    EXPECT_TRUE(hasMessageStartingWith("An earlier run was stopped while changing " + app))
        << s.logText();
    EXPECT_EQ(s.read(app + "/Contents/MacOS/Solvane"), "executable installed");
    EXPECT_FALSE(s.exists(kSoftwareBackup));
}

// A step of the success ending, and the command that a kill stops there.
struct CleanUpStop {
    const char* name;
    const char* command;
    const char* pattern;  // what the command's arguments hold at that step
};

const CleanUpStop kCleanUpStops[] = {
    {"RemovingTheUpdateFolder", "rm", "Downloads/Update 1"},
    {"RemovingTheBackup", "rm", "Corvant/SoftwareBackup"},
    {"CopyingTheDirectoryFiles", "cp", "Solvane/Directory/"},  // after it emptied the bundle's
    {"RemovingThePatcherFolder", "rm", "Caches/Ostrel"},
    {"RemovingTheProfileBackup", "rm", "Corvant/ProfileBackup"},
    {"Launching", "open", "Solvane.app"},  // after the status file said true
};

enum class NextRun { SameArgument, NoArgument, AnotherUpdate };

class StoppedSuccessTest : public PatchRunTest,
                           public ::testing::WithParamInterface<std::tuple<CleanUpStop, NextRun>> {
};

// A run stopped anywhere in its success ending leaves the application new. The next run, whatever
// it is given, finishes that ending, once, and applies nothing: a new backup, a second copy of the
// update or another update would each be a change the user did not get a status for. A finishing
// run stopped at the same step is finished by the one after it.
TEST_P(StoppedSuccessTest, NextRunFinishesTheSuccess) {
    const auto& [stop, next] = GetParam();
    prepare("Solvane");
    const std::string app = "/Applications/Solvane.app";
    const std::string update = kUpdate;
    const std::string another = "/Users/tester/Downloads/Update 2";
    s.stageUpdate(kUpdate, "Solvane", std::nullopt,
                  Array{entry("Solvane", app + "/Contents/MacOS",
                              update + "/Solvane.app/Contents/MacOS/Solvane")});
    s.stageUpdate(another, "Solvane", Array{entry("logo.icns", app + "/Contents/Resources")},
                  std::nullopt);
    std::vector<std::string> arguments;
    if (next != NextRun::NoArgument) arguments = {next == NextRun::SameArgument ? update : another};
    const std::string stub = std::string("/Stubs/") + stop.command;
    bool standsIn = s.exists(stub);  // the recording "open"
    if (standsIn) fs::rename(s.host(stub), s.host(stub + ".real"));
    s.root().addStub(stop.command,
                     stoppingStub(stop.pattern,
                                  standsIn ? stub + ".real" : std::string("/bin/") + stop.command));
    const int killed = 128 + SIGKILL;  // as the private root reports it
    ASSERT_EQ(s.run({kUpdate}).exitStatus, killed) << s.logText();
    if (!arguments.empty()) {
        auto check = s.run({"--check", arguments[0]});
        EXPECT_EQ(check.exitStatus, next == NextRun::SameArgument ? 0 : 1) << check.output;
        EXPECT_NE(check.output.find("note: an earlier run installed the update into " + app),
                  std::string::npos)
            << check.output;
        EXPECT_NE(check.output.find("open " + app), std::string::npos) << check.output;
    }
    ASSERT_EQ(s.run(arguments).exitStatus, killed) << s.logText();
    fs::remove(s.host(stub));
    if (standsIn) fs::rename(s.host(stub + ".real"), s.host(stub));
    fs::remove(s.host(std::string(kSupport) + "/Solvane/SoftwarePatcher.log"));

    auto result = s.run(arguments);
    EXPECT_EQ(result.exitStatus, 0) << s.logText();
    EXPECT_FALSE(hasMessageStartingWith("Software backup Started")) << s.logText();
    EXPECT_EQ(s.read(app + "/Contents/MacOS/Solvane"), "executable downloaded");
    EXPECT_EQ(s.read(app + kFrameworkDirectory + "/profile.dat"), "user profile");
    EXPECT_EQ(s.read(app + kFrameworkDirectory + "/installer.ini"), "ApplicationName=user\n");
    for (const std::string& gone :
         {std::string(kSoftwareBackup), std::string(kProfileBackup), update,
          std::string(kSupport) + "/PatchInProgress.plist", s.patcherPath()})
        EXPECT_FALSE(s.exists(gone)) << gone;
    EXPECT_EQ(s.status(), true);
    EXPECT_EQ(s.root().openCalls(), std::vector<std::string>{"[" + app + "]"});
    EXPECT_TRUE(s.exists(app + "/Contents/Resources/logo.icns"));
    EXPECT_TRUE(s.exists(another + "/UpdateInfo.plist"));
    EXPECT_EQ(result.output.find("was not applied") != std::string::npos,
              next == NextRun::AnotherUpdate)
        << result.output;
}

std::string stoppedSuccessName(
    const ::testing::TestParamInfo<std::tuple<CleanUpStop, NextRun>>& info) {
    static const char* const kNext[] = {"SameArgument", "NoArgument", "AnotherUpdate"};
    return std::string(std::get<0>(info.param).name) +
           kNext[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Patcher, StoppedSuccessTest,
                         ::testing::Combine(::testing::ValuesIn(kCleanUpStops),
                                            ::testing::Values(NextRun::SameArgument,
                                                              NextRun::NoArgument,
                                                              NextRun::AnotherUpdate)),
                         stoppedSuccessName);

// "cp -p" copies a read-only folder into the backup as read-only; the backup goes all the same,
// and one that cannot go (here a mount point inside it) is moved aside instead of blocking every
// later update.
TEST_F(PatchRunTest, BackupThatResistsRemovalDoesNotBlockTheNextUpdate) {
    prepare("Solvane");
    s.write("/Applications/Solvane.app/Contents/Locked/file", "x");
    fs::permissions(s.host("/Applications/Solvane.app/Contents/Locked"),
                    fs::perms::owner_read | fs::perms::owner_exec);
    s.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    EXPECT_EQ(s.run({kUpdate}).exitStatus, 0);
    EXPECT_FALSE(s.exists(kSoftwareBackup));

    PatchScenario stuck;
    stuck.root().bindFolder(std::string(kSoftwareBackup) + "/stuck");
    stuck.installApplication("Solvane");
    stuck.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    EXPECT_EQ(stuck.run({kUpdate}).exitStatus, 0) << stuck.logText();
    EXPECT_TRUE(stuck.exists(std::string(kSoftwareBackup) + ".1/stuck"));
    EXPECT_EQ(stuck.status(), true);

    // One backup at most is kept aside: the next that resists fails the run instead.
    stuck.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    EXPECT_EQ(stuck.run({kUpdate}).exitStatus, 1);
    EXPECT_TRUE(stuck.exists(std::string(kSoftwareBackup) + ".1/stuck"));
    EXPECT_FALSE(stuck.exists(std::string(kSoftwareBackup) + ".2"));
}

struct BundleOpenCase {
    const char* name;
    std::string openFolder;
    std::string patcher;
};

class BundleOpenTest : public PatchRunTest, public ::testing::WithParamInterface<BundleOpenCase> {};

// The client starts the patcher with a PATH of its own, which need not hold the project's "open":
// the relaunch reaches it all the same, in the folder it is installed to with the patcher, and
// starts the bundle's executable.
TEST_P(BundleOpenTest, RelaunchStartsTheBundleWhateverThePath) {
    const std::string& folder = GetParam().openFolder;
    if (folder.rfind("/Users/", 0) != 0) {
        fs::path mountPoint = folder;  // the nearest folder the host has, to put a fresh one over
        while (!fs::exists(mountPoint)) mountPoint = mountPoint.parent_path();
        if (mountPoint == "/" || mountPoint == "/usr")
            GTEST_SKIP() << "cannot stand in for " << folder;
        s.root().bindFolder(mountPoint.string());
    }
    s.root().install(BUNDLE_OPEN_EXECUTABLE, folder + "/open");
    prepare("Solvane");
    const std::string executable = "/Applications/Solvane.app/Contents/MacOS/Solvane";
    s.write(executable, "#!/bin/sh\necho started > /Users/tester/started\n");
    fs::permissions(s.host(executable), fs::perms::owner_all);
    s.stageUpdate(kUpdate, "Solvane", std::nullopt, std::nullopt);
    s.placePatcherAt(GetParam().patcher);

    auto result = s.run({kUpdate}, {{"PATH", "/usr/bin:/bin"}});
    EXPECT_EQ(result.exitStatus, 0) << s.logText();
    EXPECT_TRUE(s.logged("Launching Application, Executing :open /Applications/Solvane.app"));
    // Run by root, the shipped "open" may start the client only as the user at the console, whom
    // the private root lacks; then its own report on the bundle shows that it was reached.
    bool reportedAsRoot =
        ::geteuid() == 0 &&
        result.output.find("open: /Applications/Solvane.app") != std::string::npos;
    for (int wait = 0; wait < 50 && !reportedAsRoot && !s.exists("/Users/tester/started"); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(s.read("/Users/tester/started") == "started\n" || reportedAsRoot) << result.output;
    EXPECT_TRUE(s.root().openCalls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Patcher, BundleOpenTest,
    ::testing::Values(BundleOpenCase{"InstalledFolder", OSTREL_BUNDLE_OPEN_FOLDER,
                                     "/Users/tester/Library/Caches/Ostrel/Ostrel"},
                      BundleOpenCase{"BesideThePatcher", "/Users/tester/prefix/libexec/kelvorn",
                                     "/Users/tester/prefix/libexec/Ostrel/Ostrel"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrel_test
