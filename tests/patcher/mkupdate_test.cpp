// ostrel-mkupdate proven by applying: random pairs of old and new bundles (files, folders,
// symbolic links, names with spaces, quotes, "*" and non-ASCII, files that became folders and the
// reverse, permission changes), each update made by the real ostrel-mkupdate and applied by the
// real Ostrel in a private root, the result compared with the new bundle item by item.
// "--pairs N" and "--seed S" (before the test's own options) make a longer run by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "common/plist.h"
#include "patch_scenario.h"

namespace ostrel_test {
namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

int pairCount = 300;
unsigned seed = 17;

std::string differences(const std::map<std::string, std::string>& got,
                        const std::map<std::string, std::string>& wanted) {
    std::string text;
    for (const auto& [path, item] : wanted) {
        auto found = got.find(path);
        if (found == got.end())
            text += "  missing " + path + ": " + item + "\n";
        else if (found->second != item)
            text += "  differs " + path + ": " + found->second + " instead of " + item + "\n";
    }
    for (const auto& [path, item] : got)
        if (!wanted.count(path)) text += "  extra " + path + ": " + item + "\n";
    return text;
}

// An Info.plist of `version`, holding `publicKey` when there is one.
std::string infoPlist(const std::string& version, const std::string& publicKey = "") {
    std::string text = "<plist><dict><key>CFBundleVersion</key><string>" + version + "</string>";
    if (!publicKey.empty()) text += "<key>OstrelPublicKey</key><string>" + publicKey + "</string>";
    return text + "</dict></plist>";
}

class Versions {
  public:
    explicit Versions(unsigned pairSeed) : random_(pairSeed) {}

    // An old bundle, version 1.0: Contents with an Info.plist (holding `publicKey` when there is
    // one) and a random tree below it.
    void makeOld(const fs::path& bundle, const std::string& publicKey = "") {
        makeFolder(bundle / "Contents", 0755);
        makeFile(bundle / "Contents/Info.plist", infoPlist("1.0", publicKey), 0644);
        fill(bundle / "Contents", 1);
    }

    // The new bundle, version 1.10: a copy of the old one with random changes of every kind.
    void makeNew(const fs::path& oldBundle, const fs::path& bundle) {
        std::string copy = "cp -a '" + oldBundle.string() + "' '" + bundle.string() + "'";
        ASSERT_EQ(std::system(copy.c_str()), 0);
        std::vector<fs::path> items;
        for (auto it = fs::recursive_directory_iterator(bundle / "Contents");
             it != fs::recursive_directory_iterator(); ++it)
            items.push_back(it->path());
        for (const fs::path& item : items) {
            if (!fs::exists(fs::symlink_status(item)) || !chance(20)) continue;
            if (item.filename() == "Info.plist" && item.parent_path() == bundle / "Contents")
                continue;
            bool folder = fs::is_directory(fs::symlink_status(item));
            switch (pick(5)) {
                case 0:
                    fs::remove_all(item);
                    break;
                case 1:  // the same kind, new content or target, or only new permissions
                    if (folder) {
                        ::chmod(item.c_str(), pickMode(true));
                    } else if (fs::is_symlink(item)) {
                        fs::remove(item);
                        fs::create_symlink(linkTarget(), item);
                    } else if (chance(50)) {
                        ::chmod(item.c_str(), pickMode(false));
                    } else {
                        makeFile(item, word(), pickMode(false));
                    }
                    break;
                case 2:  // another kind
                    fs::remove_all(item);
                    if (folder) {
                        makeFile(item, word(), pickMode(false));
                    } else {
                        makeFolder(item, pickMode(true));
                        fill(item, 3);
                    }
                    break;
                case 3:
                    fs::remove_all(item);
                    fs::create_symlink(linkTarget(), item);
                    break;
                default:
                    if (folder) fill(item, 3);
                    break;
            }
        }
        if (chance(50)) fill(bundle / "Contents", 2);
        makeFile(bundle / "Contents/Info.plist", infoPlist("1.10"), 0644);
    }

  private:
    bool chance(int percent) { return pick(100) < percent; }
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    std::string word() {
        static const char* const kWords[] = {"a",
                                             "b c",
                                             "it's",
                                             "q\"d",
                                             "*",
                                             "st*r",
                                             "\xc3\xa9t\xc3\xa9",
                                             "\xe6\x97\xa5",
                                             ".hidden",
                                             "-dash",
                                             "...",
                                             "x$y",
                                             "b\\s",
                                             "Solvane",
                                             "z z",
                                             "b"};
        return kWords[pick(static_cast<int>(std::size(kWords)))];
    }
    std::string linkTarget() {
        static const char* const kTargets[] = {"a", "../b c", "nowhere", "/etc/hostname",
                                               "*", "it's"};
        return kTargets[pick(static_cast<int>(std::size(kTargets)))];
    }
    mode_t pickMode(bool folder) {
        static const mode_t kFolders[] = {0755, 0700, 0750};
        static const mode_t kFiles[] = {0644, 0755, 0600, 0444, 0640};
        return folder ? kFolders[pick(3)] : kFiles[pick(5)];
    }
    void makeFolder(const fs::path& path, mode_t mode) {
        fs::create_directories(path);
        ::chmod(path.c_str(), mode);
    }
    void makeFile(const fs::path& path, const std::string& content, mode_t mode) {
        fs::remove(path);
        writeFile(path, content);
        ::chmod(path.c_str(), mode);
    }
    void fill(const fs::path& folder, int depth) {
        for (int n = pick(5); n > 0; --n) {
            fs::path item = folder / word();
            while (fs::exists(fs::symlink_status(item))) item += std::to_string(pick(10));
            int kind = pick(depth < 3 ? 8 : 6);
            if (kind < 4)
                makeFile(item, word() + word(), pickMode(false));
            else if (kind < 6)
                fs::create_symlink(linkTarget(), item);
            else {
                makeFolder(item, pickMode(true));
                fill(item, depth + 1);
            }
        }
    }

    std::mt19937 random_;
};

class MkupdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testing_support::PrivateRoot::available())
            << "bubblewrap cannot make a private root on this machine";
    }
    // Runs ostrel-mkupdate on the host for the pair in `pair` (a folder inside the private root).
    static std::string makeUpdate(PatchScenario& s, const std::string& pair,
                                  const std::string& extra = "", bool withUnpackRoot = true) {
        std::string command = std::string("'") + MKUPDATE_EXECUTABLE + "' " + extra +
                              (withUnpackRoot ? " --unpack-root '" + pair + "/out'" : "") + " '" +
                              s.host(pair + "/old.app").string() + "' '" +
                              s.host(pair + "/new.app").string() + "' '" +
                              s.host(pair + "/out").string() + "' 2>&1";
        std::string output;
        FILE* pipe = ::popen(command.c_str(), "r");
        char buffer[4096];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, got);
        return ::pclose(pipe) == 0 ? "" : output.empty() ? "failed" : output;
    }
};

// A file large enough that a patch of its next version is smaller than the version itself.
const std::string kLargeFile = "Contents/large data";

std::string largeText(char mark) {
    std::string text;
    for (int i = 0; text.size() < 5000; ++i) text += "record " + std::to_string(i) + "\n";
    text[2500] = mark;
    return text;
}

void addLargeChangedFile(const fs::path& pair) {
    writeFile(pair / "old.app" / kLargeFile, largeText('o'));
    writeFile(pair / "new.app" / kLargeFile, largeText('n'));
}

// Applies each pair's update to an installation of its old bundle, one after the other in one
// private root, and keeps what the installation became.
constexpr const char* kApplyEach =
    "for pair in /Users/tester/pairs/*; do\n"
    "    chmod -R u+w /Applications/Solvane.app 2>/dev/null; rm -rf /Applications/Solvane.app\n"
    "    cp -a \"$pair/old.app\" /Applications/Solvane.app\n"
    "    mkdir -p /Users/tester/run && cp /Users/tester/bin/Ostrel /Users/tester/run/Ostrel\n"
    "    /Users/tester/run/Ostrel \"$pair/out\" > \"$pair/output\" 2>&1; echo $? > "
    "\"$pair/status\"\n"
    "    cp -a /Applications/Solvane.app \"$pair/result.app\"\n"
    "    log='/Users/tester/Library/Application Support/Corvant/Solvane/SoftwarePatcher.log'\n"
    "    grep -c 'UpdateManifest.plist is signed by' \"$log\" > \"$pair/signed\"; rm -f \"$log\"\n"
    "done\n";

// Every other pair is signed, its old bundle carrying the public key, so that its update applies
// only after its manifest and signature were checked; every third is a delta update.
TEST_F(MkupdateTest, ApplyingTheUpdateToOldLeavesNew) {
    PatchScenario s;
    s.root().install(OSTREL_EXECUTABLE, "/Users/tester/bin/Ostrel");
    fs::create_directories(s.host("/Users/tester/vendor"));
    std::string key = s.host("/Users/tester/vendor/key").string();
    ASSERT_EQ(std::system(("'" + std::string(MKUPDATE_EXECUTABLE) + "' --generate-key '" + key +
                           "' >/dev/null")
                              .c_str()),
              0);
    std::string publicKey = readFile(key + ".pub");
    ASSERT_EQ(fs::status(key + ".key").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    std::vector<std::string> pairs;
    for (int i = 0; i < pairCount; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/Users/tester/pairs/%05d", i);
        pairs.emplace_back(name);
        bool isSigned = i % 2 == 0;
        bool isDelta = i % 3 == 1;
        Versions versions(seed + static_cast<unsigned>(i));
        versions.makeOld(s.host(pairs.back() + "/old.app"), isSigned ? publicKey : "");
        versions.makeNew(s.host(pairs.back() + "/old.app"), s.host(pairs.back() + "/new.app"));
        if (isDelta) addLargeChangedFile(s.host(pairs.back()));
        std::string refused =
            makeUpdate(s, pairs.back(),
                       (isSigned ? "--sign '" + key + ".key'" : "") + (isDelta ? " --delta" : ""));
        ASSERT_EQ(refused, "") << "pair " << i << " (seed " << seed + i << ")";
        if (isDelta) {
            ASSERT_TRUE(fs::exists(s.host(pairs.back() + "/out/Patches/" + kLargeFile)))
                << "pair " << i << " ships no patch";
        }
    }
    auto run = s.root().run({"/bin/sh", "-c", kApplyEach});
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    int failures = 0;
    for (int i = 0; i < pairCount; ++i) {
        const std::string& pair = pairs[static_cast<size_t>(i)];
        std::string status = s.read(pair + "/status");
        if (s.read(pair + "/signed") != (i % 2 == 0 ? "1\n" : "0\n"))
            ADD_FAILURE() << "pair " << i << ": the signature was not checked as it should be";
        std::string diff = differences(snapshot(s.host(pair + "/result.app")),
                                       snapshot(s.host(pair + "/new.app")));
        if (status == "0\n" && diff.empty()) continue;
        if (++failures <= 3)
            ADD_FAILURE() << "pair " << i << " (seed " << seed + i << "): Ostrel exit status "
                          << status << s.read(pair + "/output") << diff;
    }
    EXPECT_EQ(failures, 0) << "of " << pairCount << " pairs";

    std::printf("%d pairs applied, %d differ from their new bundle\n", pairCount, failures);
}

// A branded installation: the update made for its name replaces the executable under that name,
// keeps the installation's icons and names, and installs the rest of the new version. As a delta
// update, the files that the run adapts ship whole, the installation's being the brand's, and so
// do the directory files, the installation's being the user's.
class BrandedUpdateTest : public MkupdateTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(BrandedUpdateTest, BrandedInstallationGetsTheNewVersionUnderItsName) {
    PatchScenario s;
    const std::string pair = "/Users/tester/pair";
    const std::string app = "/Applications/Acme Connect.app";
    const std::string filler = largeText('f');  // makes a patch of every file smaller than it
    auto bundle = [&](const std::string& folder, const std::string& version) {
        s.write(folder + "/Contents/MacOS/Solvane", filler + "executable " + version);
        corvant::writeDictionaryToFile({{"CFBundleExecutable", "Solvane"},
                                        {"CFBundleName", "Solvane"},
                                        {"CFBundleVersion", version}},
                                       s.host(folder + "/Contents/Info.plist"));
        s.write(folder + "/Contents/Resources/logo.icns", filler + "logo " + version);
        s.write(folder +
                    "/Contents/Resources/Uninstaller.app/Contents/Resources/"
                    "UninstallerLOGO.icns",
                filler + "uninstaller logo " + version);
        s.write(folder + "/Contents/Resources/data", filler + version);
        s.write(folder + kFrameworkDirectory + "/installer.ini", filler + "installer " + version);
        fs::create_symlink("data", s.host(folder + "/Contents/Resources/current " + version));
    };
    bundle(pair + "/old.app", "1");
    bundle(pair + "/new.app", "2");
    s.write(pair + "/new.app/Contents/MacOS/helper", "helper");
    ASSERT_EQ(std::system(("cp -a '" + s.host(pair + "/old.app").string() + "' '" +
                           s.host(app).string() + "'")
                              .c_str()),
              0);
    fs::rename(s.host(app + "/Contents/MacOS/Solvane"),
               s.host(app + "/Contents/MacOS/Acme Connect"));
    corvant::writeDictionaryToFile({{"CFBundleExecutable", "Acme Connect"},
                                    {"CFBundleName", "Acme Connect"},
                                    {"CFBundleVersion", "1"}},
                                   s.host(app + "/Contents/Info.plist"));
    for (const char* icon : {"/Contents/Resources/logo.icns",
                             "/Contents/Resources/Uninstaller.app/Contents/Resources/"
                             "UninstallerLOGO.icns"})
        s.write(app + icon, "brand");
    s.write(app + kFrameworkDirectory + "/installer.ini", "the user's");

    ASSERT_EQ(makeUpdate(s, pair, std::string("--name 'Acme Connect' ") + GetParam()), "");
    auto result = s.run({pair + "/out"});
    ASSERT_EQ(result.exitStatus, 0) << result.output << s.logText();

    auto wanted = snapshot(s.host(pair + "/new.app"));
    wanted["Contents/MacOS/Acme Connect"] = wanted["Contents/MacOS/Solvane"];
    wanted.erase("Contents/MacOS/Solvane");
    wanted["Contents/Resources/logo.icns"] = "644 file brand";
    wanted["Contents/Resources/Uninstaller.app/Contents/Resources/UninstallerLOGO.icns"] =
        "644 file brand";
    auto got = snapshot(s.host(app));
    wanted.erase("Contents/Info.plist");
    got.erase("Contents/Info.plist");
    EXPECT_EQ(differences(got, wanted), "");
    auto info = corvant::readDictionaryFromFile(s.host(app + "/Contents/Info.plist"));
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, (corvant::Dictionary{{"CFBundleExecutable", "Acme Connect"},
                                          {"CFBundleName", "Acme Connect"},
                                          {"CFBundleVersion", "2"}}));
}

INSTANTIATE_TEST_SUITE_P(Mkupdate, BrandedUpdateTest, ::testing::Values("", "--delta"),
                         [](const auto& info) {
                             return std::string(*info.param ? "Delta" : "Whole");
                         });

// Keys rotate with a version: 1.0 carries K1 and 2.0 K2, so the update to 2.0 is signed with K1
// and the next with K2; after 2.0 is installed, K1 signs nothing that applies. The keys are made
// and set, and the updates made, by the real ostrel-mkupdate.
TEST_F(MkupdateTest, KeyRotatesWithTheVersionThatCarriesTheNewOne) {
    PatchScenario s;
    s.root().install(MKUPDATE_EXECUTABLE, "/Users/tester/bin/ostrel-mkupdate");
    auto mkupdate = [&s](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "/Users/tester/bin/ostrel-mkupdate");
        return s.root().run(arguments);
    };
    const std::string vendor = "/Users/tester/vendor/";
    fs::create_directories(s.host(vendor));
    for (const char* key : {"k1", "k2"})
        ASSERT_EQ(mkupdate({"--generate-key", vendor + key}).exitStatus, 0);
    auto version = [&](const std::string& bundle, const std::string& number,
                       const std::string& key) {
        s.write(bundle + "/Contents/MacOS/Solvane", "executable " + number);
        corvant::writeDictionaryToFile(
            {{"CFBundleExecutable", "Solvane"}, {"CFBundleShortVersionString", number}},
            s.host(bundle + "/Contents/Info.plist"));
        auto set = mkupdate({"--set-key", vendor + key + ".pub", bundle});
        EXPECT_EQ(set.exitStatus, 0) << set.output;
    };
    struct Update {
        const char* pair;
        const char* from;
        const char* to;
        const char* signedWith;
    };
    for (const Update& u : {Update{"/Users/tester/to2.0", "1.0", "2.0", "k1"},
                            Update{"/Users/tester/to3.0", "2.0", "3.0", "k2"},
                            Update{"/Users/tester/to3.0-k1", "2.0", "3.0", "k1"}}) {
        version(std::string(u.pair) + "/old.app", u.from,
                u.from == std::string("1.0") ? "k1" : "k2");
        version(std::string(u.pair) + "/new.app", u.to, "k2");
        std::string key = s.host(vendor + u.signedWith + ".key").string();
        ASSERT_EQ(makeUpdate(s, u.pair, "--sign '" + key + "'"), "") << u.pair;
    }
    const std::string app = "/Applications/Solvane.app";
    const std::string info = app + "/Contents/Info.plist";
    ASSERT_EQ(std::system(("cp -a '" + s.host("/Users/tester/to2.0/old.app").string() + "' '" +
                           s.host(app).string() + "'")
                              .c_str()),
              0);

    auto toTwo = s.run({"/Users/tester/to2.0/out"});
    ASSERT_EQ(toTwo.exitStatus, 0) << toTwo.output << s.logText();
    EXPECT_EQ(snapshot(s.host(app)), snapshot(s.host("/Users/tester/to2.0/new.app")));
    const auto two = snapshot(s.host(app));

    EXPECT_EQ(s.run({"/Users/tester/to3.0-k1/out"}).exitStatus, 1);
    EXPECT_TRUE(s.logged(
        "Update refused, Hence Patching failed : UpdateManifest.plist.sig is not a signature of "
        "UpdateManifest.plist by the installed application's OstrelPublicKey"))
        << s.logText();
    EXPECT_EQ(snapshot(s.host(app)), two);

    auto toThree = s.run({"/Users/tester/to3.0/out"});
    ASSERT_EQ(toThree.exitStatus, 0) << toThree.output << s.logText();
    EXPECT_EQ(snapshot(s.host(app)), snapshot(s.host("/Users/tester/to3.0/new.app")));

    // What is no public key, or no bundle, is refused with one line, and nothing changes.
    const std::string before = s.read(info);
    for (const auto& [arguments, why] :
         {std::pair<std::vector<std::string>, std::string>{
              {"--set-key", vendor + "k1.key", app}, "is not a public key made by --generate-key"},
          {{"--set-key", vendor + "k1.pub", vendor}, "is not an application bundle"},
          {{"--set-key", vendor + "k1.pub"}, "--set-key takes PREFIX.pub and BUNDLE.app"}}) {
        auto refused = mkupdate(arguments);
        EXPECT_EQ(refused.exitStatus, 1) << refused.output;
        EXPECT_NE(refused.output.find(why), std::string::npos) << refused.output;
        EXPECT_EQ(refused.output.find("ostrel-mkupdate:", 1), std::string::npos) << refused.output;
    }
    EXPECT_EQ(s.read(info), before);
}

// Everything below `folder`, each item's path and permission bits.
std::set<std::string> listing(const fs::path& folder) {
    std::set<std::string> items;
    for (auto it = fs::recursive_directory_iterator(folder);
         it != fs::recursive_directory_iterator(); ++it)
        items.insert(it->path().string() + " " +
                     std::to_string(static_cast<int>(it->symlink_status().permissions())));
    return items;
}

// What the description cannot express, inputs that are no bundles, an OUT that overlaps a bundle
// and a source that cannot be read are refused with one line and status 1, and nothing is left
// written. Run in the private root, where permissions hold as for a user.
TEST_F(MkupdateTest, RefusesWhatNoUpdateCanDo) {
    struct Refusal {
        const char* name;
        std::function<void(PatchScenario&, const std::string&)> arrange;
        std::vector<std::string> extra;
        const char* message;
        std::string out = "/out";  // below the pair's folder
        // Undoes the cause, after which the next run works.
        std::function<void(PatchScenario&, const std::string&)> fix = nullptr;
        bool withUnpackRoot = true;
        bool emptyOut = false;
    };
    const auto noChange = [](PatchScenario&, const std::string&) {};
    const Refusal refusals[] = {
        {"NotABundle",
         [](PatchScenario& s, const std::string& pair) {
             fs::remove(s.host(pair + "/old.app/Contents/Info.plist"));
         },
         {},
         "is not an application bundle"},
        {"OutNotEmpty",
         [](PatchScenario& s, const std::string& pair) { s.write(pair + "/out/mine", "x"); },
         {},
         "exists and is not an empty folder"},
        {"LinkAtTheTop",
         [](PatchScenario& s, const std::string& pair) {
             fs::create_symlink("Contents", s.host(pair + "/new.app/Shortcut"));
         },
         {},
         "lies directly in the bundle"},
        {"NameWithControlCharacter",
         [](PatchScenario& s, const std::string& pair) {
             s.write(pair + "/new.app/bell\x07", "x");
         },
         {},
         "lies directly in the bundle"},
        {"InstalledNameWithSlash",
         noChange,
         {"--name", "a/b"},
         "cannot name an installed application"},
        {"OutInsideNew",
         noChange,
         {},
         "/out lies inside /Users/tester/pair/new.app",
         "/new.app/Contents/Resources/out"},
        {"OutInsideOldThroughALink",
         [](PatchScenario& s, const std::string& pair) {
             fs::create_symlink("old.app/Contents", s.host(pair + "/link"));
         },
         {},
         "/link/out lies inside /Users/tester/pair/old.app",
         "/link/out"},
        {"BundlesInsideOut", noChange, {}, "/Users/tester/pair/old.app lies inside", ""},
        // A file it cannot read, after a folder it made read-only, both on the way to an OUT
        // whose folder it had to make.
        {"UnreadableSource",
         [](PatchScenario& s, const std::string& pair) {
             s.write(pair + "/new.app/Contents/a/f", "new");
             fs::permissions(s.host(pair + "/new.app/Contents/a"),
                             fs::perms::owner_read | fs::perms::owner_exec);
             s.write(pair + "/new.app/Contents/secret", "new");
             fs::permissions(s.host(pair + "/new.app/Contents/secret"), fs::perms::none);
         },
         {},
         "/Users/tester/pair/new.app/Contents/secret cannot be read",
         "/made/out",
         [](PatchScenario& s, const std::string& pair) {
             fs::permissions(s.host(pair + "/new.app/Contents/secret"), fs::perms::owner_read);
         }},
        {"Downgrade",
         [](PatchScenario& s, const std::string& pair) {
             s.write(pair + "/new.app/Contents/Info.plist", infoPlist("0.9"));
         },
         {},
         "/Users/tester/pair/new.app is version 0.9, not newer than /Users/tester/pair/old.app's "
         "version 1.0; an update only goes forward"},
        {"SameVersionSpeltOtherwise",
         [](PatchScenario& s, const std::string& pair) {
             s.write(pair + "/new.app/Contents/Info.plist", infoPlist("1"));
         },
         {},
         "is version 1, not newer than"},
        {"OldWithoutVersion",
         [](PatchScenario& s, const std::string& pair) {
             s.write(pair + "/old.app/Contents/Info.plist", "<plist><dict/></plist>");
         },
         {},
         "/Users/tester/pair/old.app/Contents/Info.plist names no version (neither "
         "CFBundleVersion nor CFBundleShortVersionString)"},
        {"NoUnpackRoot", noChange, {}, "--unpack-root is required", "/out", nullptr, false},
        {"EmptyOut", noChange, {}, "cannot be empty", "", nullptr, true, true},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        PatchScenario s;
        const std::string pair = "/Users/tester/pair";
        s.write(pair + "/old.app/Contents/Info.plist", infoPlist("1.0"));
        s.write(pair + "/new.app/Contents/Info.plist", infoPlist("2.0"));
        refusal.arrange(s, pair);
        s.root().install(MKUPDATE_EXECUTABLE, "/Users/tester/bin/ostrel-mkupdate");
        std::vector<std::string> command = {"/Users/tester/bin/ostrel-mkupdate"};
        command.insert(command.end(), refusal.extra.begin(), refusal.extra.end());
        if (refusal.withUnpackRoot) command.insert(command.end(), {"--unpack-root", pair + "/out"});
        command.insert(command.end(), {pair + "/old.app", pair + "/new.app",
                                       refusal.emptyOut ? "" : pair + refusal.out});
        const std::set<std::string> before = listing(s.host(pair));

        auto result = s.root().run(command);
        EXPECT_EQ(result.exitStatus, 1) << result.output;
        EXPECT_NE(result.output.find(refusal.message), std::string::npos) << result.output;
        // One line that says why (a usage error adds the usage after it).
        EXPECT_EQ(result.output.find("ostrel-mkupdate:", 1), std::string::npos) << result.output;
        EXPECT_EQ(listing(s.host(pair)), before);
        if (refusal.fix) {
            refusal.fix(s, pair);
            result = s.root().run(command);
            EXPECT_EQ(result.exitStatus, 0) << result.output;
        }
    }
}

}  // namespace
}  // namespace ostrel_test

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--pairs") == 0) ostrel_test::pairCount = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--seed") == 0)
            ostrel_test::seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
