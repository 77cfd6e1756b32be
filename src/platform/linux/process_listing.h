// The process listing of the daemon's liveness command, "ps Acx", on a system whose ps knows no
// "A": the arguments are turned into ones the system's ps takes, and that ps does the listing.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelvorn::linux_backend {

// The arguments for the system's ps. "Acx" (the letters in any order) asks for every process (A),
// shown by its command name alone (c), those without a terminal too (x): the same listing in the
// system ps's own options. Any other arguments are handed on unchanged.
std::vector<std::string> systemPsArguments(const std::vector<std::string>& arguments);

// The first executable file named "ps" in the folders of `searchPath` (a PATH value) that is not
// the file at `self`; none when there is no such file.
std::optional<std::string> findSystemPs(const std::string& searchPath, const std::string& self);

}  // namespace kelvorn::linux_backend
