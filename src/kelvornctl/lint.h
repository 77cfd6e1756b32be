// kelvornctl lint: what in a card list can never match, or keeps the daemon from reading it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kelvornctl {

struct LintFinding {
    bool error = true;  // false: a warning
    // The keys from the root down to the key at fault; empty for the file as a whole.
    std::vector<std::string> keyPath;
    std::string message;
};

struct LintReport {
    std::vector<LintFinding> findings;
    // The (family, suffix, vendor, product) entries: the keys at the fourth level.
    std::size_t entries = 0;
    bool hasErrors() const;
};

// Reads the card list at `path` as the daemon does and reports, in key order, each level that is
// not a dictionary, each vendor or product key that is not plain decimal, each suffix with a
// leading zero (a warning), each misspelt no-suffix key; or why the daemon would not read it.
LintReport lintCardList(const std::string& path);

}  // namespace kelvornctl
