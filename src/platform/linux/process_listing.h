// The process listing of the daemon's liveness command, "ps Acx", on a system whose ps knows no
// "A": the shipped ps lists every process itself, by the whole name of what it runs, and hands any
// other use to the system's ps.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kelvorn::linux_backend {

// True for the liveness command's listing: the single argument "Acx", its letters in any order,
// which asks for every process (A), shown by its command name alone (c), those without a terminal
// too (x).
bool isEveryProcessByCommandName(const std::vector<std::string>& arguments);

// The name a process is listed by. `comm` is the command name the kernel keeps, which it cuts at 15
// characters; when it is that long, the first file name that is longer and begins with it is shown
// instead: that of `executable` (what /proc/PID/exe names, none when it cannot be read), then those
// of the first three `arguments` (for a script: its interpreter, the interpreter's option, the
// script). A process that named itself otherwise, or a kernel thread, keeps `comm`. Control
// characters (a line feed among them) are shown as "?", so that a name stays on its line.
std::string listedName(const std::string& comm, const std::optional<std::string>& executable,
                       const std::vector<std::string>& arguments);

// Writes the listing of every process under `procFolder` to `out`, in the order of their ids:
// "PID TT STAT TIME COMMAND" as the system's ps writes them, with listedName as the command; with
// `owner`, only the processes whose real user id it is. False when the folder cannot be read.
bool listEveryProcess(std::FILE* out, const std::string& procFolder = "/proc",
                      std::optional<uid_t> owner = std::nullopt);

// Whose processes the listing shows when the daemon names its console user (`userName`, from the
// daemon's KELVORN_PS_USER): that user's id from the password database. None, every user's, when
// no name is given or the database does not know it (then no id can be matched).
std::optional<uid_t> listedOwner(const char* userName);

// The environment variable a shipped ps sets before it hands a call on to another ps: the
// identities of every shipped ps the call went through, so that none of them is run again.
inline constexpr const char* kHandedOnVariable = "KELVORN_PS_HANDED_ON";

// `handedOn` (the variable's value, maybe empty) with the identity of the file at `self` added.
std::string handedOnWith(const std::string& handedOn, const std::string& self);

// The first executable file named "ps" in the folders of `searchPath` (a PATH value) that is
// neither the file at `self` nor one of those named in `handedOn`; none when there is no such file.
// Two copies of the shipped ps on PATH thus end at the system's ps instead of running each other.
std::optional<std::string> findSystemPs(const std::string& searchPath, const std::string& self,
                                        const std::string& handedOn = "");

}  // namespace kelvorn::linux_backend
