// The version of an application bundle, as its Contents/Info.plist gives it, and the order in
// which vendors number their releases.
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel {

// The version of the bundle at `bundle`: the text of its Contents/Info.plist's CFBundleVersion,
// else of its CFBundleShortVersionString. None, with `why` naming the file and what it lacks,
// when the file cannot be read as a property list or neither key holds text.
std::optional<std::string> bundleVersion(const std::string& bundle, std::string& why);

// Orders two versions as vendors number releases. Each is read as numbers and words, split at
// every other character ("2.0-rc1" is 2, 0, "rc", 1); the first pair that differs decides:
// numbers by value ("1.10" after "1.9", leading zeros and length no matter), words by their
// letters ignoring case, a number after a word ("1.0.1" after "1.0b1"). A version that runs out
// counts as going on with zeros, so "2" equals "2.0", and a word after it marks a pre-release:
// "2.0b1" comes before "2.0".
std::strong_ordering compareVersions(std::string_view left, std::string_view right);

}  // namespace ostrel
