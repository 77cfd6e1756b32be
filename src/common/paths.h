// Small questions about paths, answered from their text alone (nothing on disk is looked at).
#pragma once

#include <algorithm>
#include <string>

namespace corvant {

// The path without its last component: "a/b/c" gives "a/b"; empty when there is no slash, as for
// an item directly in a bundle ("Contents" gives "").
std::string parentOf(const std::string& path);

// The folder to open for an item at `path`: as parentOf, but "." for a bare name and "/" for an
// item directly in the root.
std::string directoryOf(const std::string& path);

// The path without its last component, the way the patcher finds its own folder from the path it
// was started by: "/a/b/Ostrel" gives "/a/b", "/Ostrel" gives "/", a bare name gives "". Trailing
// slashes are ignored, and none is left on the result.
std::string deletingLastPathComponent(const std::string& path);

// `folder` and `name` joined by exactly one slash, whether or not `folder` ends in one.
std::string appendingPathComponent(const std::string& folder, const std::string& name);

// The last component of `path`: "a/b/c" gives "c"; a path without a slash is its own name.
std::string nameOf(const std::string& path);

// True when `path` lies inside `folder` (and is not `folder` itself). `folder` may end in a slash,
// so "/" holds every other absolute path.
bool isInside(const std::string& path, const std::string& folder);

// True when `path` is `folder`, a slash and more: the test for paths relative to a bundle, whose
// folders never end in a slash. Unlike isInside, a folder written with its trailing slash (as "/"
// is) holds nothing.
bool extendsFolder(const std::string& path, const std::string& folder);

// Paths in the order of a walk: a folder, then everything inside it, then its next sibling ("a",
// "a/x", "a b"), so that the items inside a folder follow it without a gap.
struct WalkOrder {
    bool operator()(const std::string& left, const std::string& right) const {
        return std::lexicographical_compare(
            left.begin(), left.end(), right.begin(), right.end(), [](char a, char b) {
                auto rank = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c) + 1; };
                return rank(a) < rank(b);
            });
    }
};

}  // namespace corvant
