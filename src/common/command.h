// A command the patcher runs: a program and its words, started directly (no shell), with the text
// a shell would read for it derived from the very same words, so that what is logged and what runs
// can never disagree.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace corvant {

// One word of a command: a literal text, or a literal text followed by the shell's "*", which
// stands for the entries of the text's folder whose names begin with the text after its last
// slash ("/a/b/" with "*" is every entry of /a/b).
struct CommandWord {
    CommandWord(std::string text) : literal(std::move(text)) {}  // NOLINT: implicit on purpose
    CommandWord(const char* text) : literal(text) {}             // NOLINT: implicit on purpose
    CommandWord(std::string text, bool star) : literal(std::move(text)), matchesEntries(star) {}

    std::string literal;
    bool matchesEntries = false;
};

class Command {
  public:
    Command() = default;
    Command(std::string program, std::vector<CommandWord> words)
        : program_(std::move(program)), words_(std::move(words)) {}

    // "<folder>/*": every entry of `folder` whose name does not begin with a dot.
    static CommandWord entriesOf(const std::string& folder) { return {folder + "/", true}; }
    // "<prefix>*": the entries that the shell would match with a "*" right after `prefix`.
    static CommandWord startingWith(std::string prefix) { return {std::move(prefix), true}; }

    const std::string& program() const { return program_; }
    const std::vector<CommandWord>& words() const { return words_; }
    bool empty() const { return program_.empty(); }

    // The command as a shell would read it: each literal escaped with shellEscaped, a "*" after
    // it where the word has one. This is the text the log shows.
    std::string text() const;

    // The arguments after the program, as the shell would hand them over: each "*" word replaced
    // by the paths of the entries it matches, sorted by byte value, names beginning with a dot
    // left out unless the text after the slash begins with one; a word that matches nothing is
    // passed as written (text and "*"); an empty literal word is dropped.
    std::vector<std::string> arguments() const;

  private:
    std::string program_;
    std::vector<CommandWord> words_;
};

// Starts the command's program, found on PATH as execvp finds it, with its arguments, and waits
// for it. Returns 0
// only when it exited with status 0; otherwise its exit status, 128 plus the signal number that
// ended it, 127 when the program was not found, or 126 when it could not be started (saying why
// on standard error, as "Argument list too long").
int runCommand(const Command& command);

}  // namespace corvant
