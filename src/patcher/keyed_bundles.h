// Where an update's deletions and copies really land, and the installed bundles with a key that
// they reach. A bundle whose Info.plist carries "OstrelPublicKey" accepts changes only from an
// update whose manifest its key signed, whichever installation the update names and however its
// targets are spelt.
#pragma once

#include <optional>
#include <string>

#include "common/value.h"

namespace ostrel {

// Resolves the target of every deletion and copy of `updateInfo`, the description of the update in
// `updateFolder` (as the passes form them for the installation at `installedApplication`), to
// where it really lies: ".", ".." and repeated
// slashes, and symbolic links on the way, also those an earlier copy of the update puts in place;
// what does not exist yet is taken as written after the deepest folder that does. An entry then
// needs the key of every installed bundle (a folder holding Contents/Info.plist) that its target
// is or lies in, and of every one inside a folder that it removes or replaces: the update's
// manifest must be signed by each.
//
// Returns the one line that names the first entry and the bundle it may not change: a key that
// has not signed, an Info.plist that cannot be read whole, or a target that cannot be resolved.
// None when every key reached has signed.
std::optional<std::string> keyedBundleRefusal(const std::string& updateFolder,
                                              const std::string& installedApplication,
                                              const corvant::Dictionary& updateInfo);

}  // namespace ostrel
