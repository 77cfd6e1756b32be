// The patcher's pure rules: path joining, where an entry lands, which names it accepts, which
// folders it must never remove, and how versions are ordered.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/format.h"
#include "patcher/branding.h"
#include "patcher/bundle_version.h"
#include "patcher/own_folder.h"
#include "patcher/places.h"
#include "patcher/update_description.h"

namespace ostrel {
namespace {

TEST(PatcherRules, PathComponents) {
    struct Case {
        std::string path, withoutLast;
    };
    for (const Case& c : {Case{"/a/b/Ostrel", "/a/b"}, Case{"/Ostrel", "/"}, Case{"Ostrel", ""},
                          Case{"/a/b/", "/a"}, Case{"a//b", "a"}, Case{"/", "/"}})
        EXPECT_EQ(deletingLastPathComponent(c.path), c.withoutLast) << c.path;

    struct Join {
        std::string folder, name, joined;
    };
    for (const Join& c :
         {Join{"/a", "b", "/a/b"}, Join{"/a/", "b", "/a/b"}, Join{"/a//", "/b", "/a/b"},
          Join{"/", "etc", "/etc"}, Join{"/a", "", "/a"}})
        EXPECT_EQ(appendingPathComponent(c.folder, c.name), c.joined) << c.folder << "+" << c.name;
}

TEST(PatcherRules, TargetOfAnEntry) {
    const std::string branded = "/Applications/Acme Connect.app";
    struct Case {
        std::string filePath, name;
        bool isBranded;
        std::string target;
    };
    for (const Case& c : {
             Case{"/Applications/Solvane.app/Contents/", "a", false,
                  "/Applications/Solvane.app/Contents/a"},
             Case{"/Applications/Solvane.app/Contents", "a", true, branded + "/Contents/a"},
             Case{"/Applications", "Solvane.app", true, branded},
             Case{"/Applications", "Solvane.app", false, "/Applications/Solvane.app"},
             Case{"/applications/solvane.app", "a", true, "/applications/solvane.app/a"},
             Case{"/Library/Solvane", "a", true, "/Library/Solvane/a"},
         })
        EXPECT_EQ(targetPath(c.filePath, c.name, c.isBranded, branded), c.target) << c.filePath;

    for (const char* whole : {"/Applications/", "/APPLICATIONS/", "/aPPliCations/"})
        EXPECT_TRUE(isWholeApplicationEntry(whole)) << whole;
    for (const char* notWhole : {"/Applications", "/Applications//", "Applications/", ""})
        EXPECT_FALSE(isWholeApplicationEntry(notWhole)) << notWhole;
}

TEST(PatcherRules, InstalledNameAndBranding) {
    struct Case {
        corvant::Value name;
        std::optional<std::string> accepted;
    };
    for (const Case& c :
         {Case{"Acme Connect", "Acme Connect"}, Case{"Acme.Pro", "Acme.Pro"},
          Case{corvant::Value(), std::nullopt}, Case{3, std::nullopt}, Case{"", std::nullopt},
          Case{"..", std::nullopt}, Case{"../Users/x", std::nullopt}, Case{"a/b", std::nullopt}})
        EXPECT_EQ(installedApplicationName({{"InstalledApplicationName", c.name}}), c.accepted)
            << corvant::describe(c.name);

    for (const char* same : {"Solvane.app", "SOLVANE.APP", "solVane.App"})
        EXPECT_FALSE(isBrandedBundleName(same)) << same;
    for (const char* other : {"Acme Connect.app", "Solvane2.app", "Solvane", ".app"})
        EXPECT_TRUE(isBrandedBundleName(other)) << other;
}

TEST(PatcherRules, FoldersTheRunMustKeep) {
    Places places{"/Users/tester", "/Applications"};
    const std::string app = "/Applications/Acme Connect.app";
    for (const char* kept :
         {"", "/", "/usr/bin", "/bin", "/usr/local/bin/", "/usr/local/bin/../bin", "/usr/libexec",
          "/tmp", "/Users", "/Users/tester", "/Users/tester/Downloads", "/Users/tester/Library",
          "/Users/tester/Library/Application Support/Corvant",
          "/Users/tester/Library/Application Support/Corvant/Solvane", "/Applications",
          "/Applications/Acme Connect.app", "/Applications/Acme Connect.app/Contents/MacOS"})
        EXPECT_TRUE(reasonToKeepFolder(kept, places, app)) << kept;
    for (const char* own :
         {"/Users/tester/Library/Caches/Ostrel", "/usr/libexec/Ostrel", "/opt/ostrel",
          "/Users/tester/Downloads/Update 1", "/Applications/Acme Connect Updater"})
        EXPECT_EQ(reasonToKeepFolder(own, places, app), std::nullopt) << own;

    // A patcher folder must also lie outside the trees the system's packages own.
    for (const char* packaged : {"/usr/libexec/Ostrel", "/usr/local/libexec/Ostrel", "/opt/ostrel",
                                 "/var/tmp/Ostrel", "/etc/ostrel"})
        EXPECT_TRUE(reasonToKeepPatcherFolder(packaged, places, app)) << packaged;
    for (const char* own : {"/Users/tester/Library/Caches/Ostrel", "/tmp/Ostrel", "/usrlocal/x"})
        EXPECT_EQ(reasonToKeepPatcherFolder(own, places, app), std::nullopt) << own;
}

// Each pair read both ways round.
TEST(PatcherRules, VersionsInTheOrderVendorsNumberThem) {
    struct Case {
        const char* older;
        const char* newer;
    };
    for (const Case& c : {Case{"1.9", "1.10"}, Case{"1.0", "1.0.1"}, Case{"2.0b1", "2.0"},
                          Case{"1.0.0-rc1", "1.0"}, Case{"2.0b9", "2.0b10"},
                          Case{"2.0beta2", "2.0RC1"}, Case{"1.0b1", "1.0.1"}, Case{"2.0", "2.0-1"},
                          Case{"9", "10"}, Case{"18446744073709551615", "18446744073709551616"}}) {
        EXPECT_EQ(compareVersions(c.older, c.newer), std::strong_ordering::less)
            << c.older << " < " << c.newer;
        EXPECT_EQ(compareVersions(c.newer, c.older), std::strong_ordering::greater)
            << c.newer << " > " << c.older;
    }
    for (const Case& c : {Case{"2.0", "2"}, Case{"1.02", "01.2"}, Case{"1.0RC1", "1.0-rc.1"},
                          Case{"2.0.0", "2..0"}, Case{"3.0", "3.0"}})
        EXPECT_EQ(compareVersions(c.older, c.newer), std::strong_ordering::equal)
            << c.older << " = " << c.newer;
}

}  // namespace
}  // namespace ostrel
