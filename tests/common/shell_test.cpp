#include "common/shell.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/places.h"
#include "test_folder.h"

namespace corvant {
namespace {

using testing::readFile;
using testing::TestFolder;
using testing::writeFile;

TEST(RunShellCommand, ResultTellsSuccessFromFailure) {
    const std::pair<const char*, int> cases[] = {
        {"true", 0},
        {"exit 3", 3},
        {"false", 1},
        {"/no/such/program 2>/dev/null", 127},
        {"kill -TERM $$", 128 + 15},
    };
    for (const auto& [command, expected] : cases)
        EXPECT_EQ(runShellCommand(command), expected) << command;
}

TEST(ReadCommandOutput, ReadsAtMostTheGivenNumberOfBytes) {
    EXPECT_EQ(readCommandOutput("printf 0123456789abcdef", 10), "0123456789");
    EXPECT_EQ(readCommandOutput("printf abc", 10), "abc");
    EXPECT_EQ(readCommandOutput("true", 10), "");
    EXPECT_EQ(readCommandOutput("yes", 4), "y\ny\n")
        << "an endless writer is ended by the closed pipe";
}

TEST(ShellEscaped, SpaceIsABackslashAndASpace) {
    EXPECT_EQ(shellEscaped("/Applications/My App.app"), "/Applications/My\\ App.app");
    EXPECT_EQ(shellEscaped("plain/path-1.2_x:y"), "plain/path-1.2_x:y");
    EXPECT_EQ(shellEscaped(""), "");
}

// Every name holds a shell-special character; acting on it must touch exactly that file, and
// the attempts at running commands must not run anything.
TEST(ShellEscaped, HostileNamesReachTheCommandAsLiteralData) {
    TestFolder folder;
    const std::string sentinel = folder / "ran";
    const std::string names[] = {
        "space name",
        "tab\tname",
        "new\nline",
        "quote'single",
        "quote\"double",
        "dollar$HOME",
        "$(touch " + sentinel + ")",
        "`touch " + sentinel + "`",
        "semi;touch " + sentinel,
        "amp&touch " + sentinel + "&",
        "pipe|touch " + sentinel,
        "less<x",
        "greater>x",
        "paren(x)",
        "star*",
        "question?",
        "bracket[ab]",
        "brace{a,b}",
        "~tilde",
        "#hash",
        "bang!",
        "equals=x",
        "percent%",
        "caret^",
        "comma,",
        "back\\slash",
        "trailing\\",
        "ctrl\x01z",
        "del\x7f",
        "utf8-\xc3\xa9",
        "-dash",
        "..dots",
        "line\nfeed; touch " + sentinel,
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string relative = name.find('/') == std::string::npos ? name : "sub";
        if (name.find('/') != std::string::npos) continue;  // a file name never holds a slash
        const std::string path = folder / relative;
        writeFile(path, "content");
        writeFile(folder / "decoy", "decoy");
        EXPECT_EQ(readCommandOutput("cat " + shellEscaped(path), 100), "content");
        EXPECT_EQ(runShellCommand("mv " + shellEscaped(path) + " " + shellEscaped(path + ".moved")),
                  0);
        EXPECT_TRUE(fileExists(path + ".moved"));
        EXPECT_EQ(runShellCommand("rm " + shellEscaped(path + ".moved")), 0);
        EXPECT_FALSE(fileExists(path + ".moved"));
        EXPECT_TRUE(fileExists(folder / "decoy"));
        EXPECT_FALSE(fileExists(sentinel)) << "a name ran a command";
    }
}

TEST(ShellEscaped, NamesThatTryToRunCommandsThroughAPath) {
    TestFolder folder;
    const std::string sentinel = folder / "ran";
    const std::string subfolder = folder / "a;touch ran;$(touch ran)`touch ran`";
    std::filesystem::create_directories(subfolder);
    writeFile(subfolder + "/file", "inside");
    EXPECT_EQ(readCommandOutput("cd " + shellEscaped(folder.path()) + " && cat " +
                                    shellEscaped(subfolder + "/file"),
                                100),
              "inside");
    EXPECT_FALSE(fileExists(sentinel));
}

TEST(Places, HomeDirectoryPrefersAnAbsoluteHome) {
    const char* saved = std::getenv("HOME");
    const std::string original = saved ? saved : "";
    setenv("HOME", "/some/home", 1);
    EXPECT_EQ(homeDirectory(), "/some/home");
    setenv("HOME", "relative/home", 1);
    const std::string fromDatabase = homeDirectory();
    EXPECT_FALSE(fromDatabase.empty());
    EXPECT_EQ(fromDatabase.front(), '/');
    unsetenv("HOME");
    EXPECT_EQ(homeDirectory(), fromDatabase);
    if (saved) setenv("HOME", original.c_str(), 1);
}

TEST(Places, ExistenceFollowsLinks) {
    TestFolder folder;
    writeFile(folder / "file", "x");
    std::filesystem::create_directory(folder / "dir");
    std::filesystem::create_symlink(folder / "dir", folder / "dirlink");
    std::filesystem::create_symlink(folder / "none", folder / "dangling");
    EXPECT_TRUE(fileExists(folder / "file"));
    EXPECT_FALSE(directoryExists(folder / "file"));
    EXPECT_TRUE(directoryExists(folder / "dir"));
    EXPECT_TRUE(directoryExists(folder / "dirlink"));
    EXPECT_FALSE(fileExists(folder / "dangling"));
    EXPECT_FALSE(fileExists(""));
}

}  // namespace
}  // namespace corvant
