// Well-known folders and small file-system questions.
#pragma once

#include <optional>
#include <string>

namespace corvant {

// The home folder of the user the process runs as: $HOME when set and absolute, otherwise the
// password database's entry for the process's user; empty when neither is known.
std::string homeDirectory();

// The home folder of the user named `user` in the password database; none when the user has no
// entry there or the entry names no absolute folder.
std::optional<std::string> homeDirectoryOf(const std::string& user);

// True when something exists at `path`, following symbolic links (a dangling link is nothing).
bool fileExists(const std::string& path);

// True when a directory, or a link to one, exists at `path`.
bool directoryExists(const std::string& path);

}  // namespace corvant
