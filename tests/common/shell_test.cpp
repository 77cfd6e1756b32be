#include "common/shell.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "common/command.h"
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
    // Variables for the one command: added, or replacing one of the process's, which stays as it
    // is.
    setenv("KO_SHELL_TEST", "outer", 1);
    EXPECT_EQ(readCommandOutput("printf %s \"$KO_SHELL_TEST $KO_ADDED\"", 20,
                                {"KO_SHELL_TEST=inner", "KO_ADDED=x"}),
              "inner x");
    EXPECT_EQ(readCommandOutput("printf %s \"$KO_SHELL_TEST $KO_ADDED\"", 20), "outer ");
    EXPECT_STREQ(std::getenv("KO_SHELL_TEST"), "outer");
    unsetenv("KO_SHELL_TEST");
}

TEST(ShellEscaped, SpaceIsABackslashAndASpace) {
    EXPECT_EQ(shellEscaped("/Applications/My App.app"), "/Applications/My\\ App.app");
    EXPECT_EQ(shellEscaped("plain/path-1.2_x:y"), "plain/path-1.2_x:y");
    EXPECT_EQ(shellEscaped("Acme, 100%"), "Acme,\\ 100\\%");
    EXPECT_EQ(shellEscaped(""), "");
}

struct HostileName {
    std::string name;
    std::string decoy;  // a file that the name would reach if it were not taken literally
};

// Every name holds a shell-special character. Commands run inside the folder: acting on the
// name must touch exactly that file, leave the decoy alone, and run nothing else.
TEST(ShellEscaped, HostileNamesReachTheCommandAsLiteralData) {
    const HostileName names[] = {
        {"space name", "space"},
        {"tab\tname", "tab"},
        {"new\nline", "new"},
        {"quote'single", "quotesingle"},
        {"quote\"double", "quotedouble"},
        {"dollar$HOME", "dollar"},
        {"$(touch ran)", "decoy"},
        {"`touch ran`", "decoy"},
        {"semi;touch ran", "semi"},
        {"amp&touch ran&", "amp"},
        {"pipe|touch ran", "pipe"},
        {"less<decoy", "less"},
        {"greater>decoy", "greater"},
        {"paren(x)", "decoy"},
        {"star*", "starZ"},
        {"question?", "questionZ"},
        {"bracket[ab]", "bracketa"},
        {"brace{a,b}", "bracea"},
        {"~root", "decoy"},
        {"#hash", "decoy"},
        {"bang!", "decoy"},
        {"equals=x", "decoy"},
        {"percent%", "decoy"},
        {"caret^", "decoy"},
        {"comma,", "decoy"},
        {"back\\slash", "backslash"},
        {"trailing\\", "trailing"},
        {"ctrl\x01z", "decoy"},
        {"del\x7f", "decoy"},
        {"utf8-\xc3\xa9\xc2\xa0nbsp", "decoy"},
        {"line\nfeed;touch ran", "line"},
        {"*", "decoy"},
    };
    for (const auto& [name, decoy] : names) {
        SCOPED_TRACE(name);
        TestFolder folder;
        const std::string inFolder = "cd " + shellEscaped(folder.path()) + " && ";
        writeFile(folder / name, "content");
        writeFile(folder / decoy, "decoy");
        const std::string escaped = shellEscaped(name);
        EXPECT_EQ(readCommandOutput(inFolder + "cat " + escaped + " 2>&1", 100), "content");
        EXPECT_EQ(runShellCommand(inFolder + "mv " + escaped + " " + shellEscaped(name + ".moved")),
                  0);
        EXPECT_EQ(readFile(folder / (name + ".moved")), "content");
        EXPECT_EQ(runShellCommand(inFolder + "rm " + shellEscaped(name + ".moved")), 0);
        EXPECT_FALSE(fileExists(folder / (name + ".moved")));
        EXPECT_EQ(readFile(folder / decoy), "decoy");
        std::size_t entries = 0;
        for ([[maybe_unused]] const auto& entry :
             std::filesystem::directory_iterator(folder.path()))
            ++entries;
        EXPECT_EQ(entries, 1u) << "only the decoy is left; nothing ran, nothing else was made";
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

// A command's words reach its program as /bin/sh would hand over the logged text: the same
// expansion of "*" (order, hidden names, no match), spaces and shell syntax kept literal.
TEST(Command, ArgumentsAreWhatTheShellMakesOfItsText) {
    TestFolder folder;
    for (const char* name : {"b", "B", "a b", "*", ".hidden", "\xc3\xa9t\xc3\xa9", "a;b", "Z", "_"})
        writeFile(folder / name, "x");
    std::filesystem::create_directories(folder / "empty");
    std::filesystem::create_directories(folder / "$(x) it's");
    writeFile(folder / "$(x) it's/in", "x");
    const Command commands[] = {
        Command("printf", {"%s\\n", Command::entriesOf(folder.path())}),
        Command("printf", {"%s\\n", Command::entriesOf(folder / "empty")}),
        Command("printf", {"%s\\n", Command::entriesOf(folder / "$(x) it's")}),
        Command("printf", {"%s\\n", Command::startingWith(folder / "a")}),
        Command("printf", {"%s\\n", Command::startingWith(folder / ".h")}),
        Command("printf", {"%s\\n", folder / "*", ""}),
    };
    for (const Command& command : commands) {
        SCOPED_TRACE(command.text());
        std::string fromShell = readCommandOutput(command.text(), 10000).value_or("");
        std::vector<std::string> arguments = command.arguments();  // the format, then the words
        std::string direct;
        for (std::size_t i = 1; i < arguments.size(); ++i) direct += arguments[i] + "\n";
        EXPECT_EQ(direct, fromShell);
    }
    EXPECT_EQ(Command("rm", {"-Rf", Command::entriesOf("/A p/x")}).text(), "rm -Rf /A\\ p/x/*");
}

TEST(Command, ResultTellsSuccessFromFailure) {
    struct Case {
        Command command;
        int status;
        std::string error;  // what it says on standard error
    };
    const Case cases[] = {
        {Command("true", {}), 0, ""},
        {Command("sh", {"-c", "exit 3"}), 3, ""},
        {Command("/no/such/program", {}), 127, ""},
        {Command("no-such-program-on-path", {}), 127, ""},
        {Command("sh", {"-c", "kill -TERM $$"}), 128 + 15, ""},
        // One word longer than the kernel takes for one argument.
        {Command("true", {std::string(200000, 'x')}), 126, "true: Argument list too long\n"},
    };
    for (const Case& c : cases) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(runCommand(c.command), c.status) << c.command.text().substr(0, 40);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.error);
    }
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
