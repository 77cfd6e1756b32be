// Making an update from two versions of the client bundle: the description and the unpacked
// bundle that the patcher turns an installation of the old version into the new one with; and
// putting the vendor's public key into a version's Info.plist.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ostrel {

struct UpdateRequest {
    std::string oldBundle;
    std::string newBundle;
    std::string out;
    // "InstalledApplicationName" of the description; a name other than the default one makes the
    // update for a branded installation of that name.
    std::string name = "Solvane";
    // The absolute folder where the client unpacks the update (the "unzippedFilePath" values lie
    // below it).
    std::string unpackRoot;
    // The secret key that signs the manifest (read by readSecretKey); empty leaves it unsigned.
    std::string signingKey;
    // Ships a patch against the old file instead of a changed file where the patch is smaller.
    bool delta = false;
    // Shows the progress of making patches on standard error.
    bool showProgress = false;
};

struct UpdateSummary {
    int deletions = 0;
    int copies = 0;
    int patched = 0;           // files shipped as patches
    std::uintmax_t bytes = 0;  // bytes of the files in the unpacked bundle, and of the patches
};

// Writes `out`/UpdateInfo.plist, `out`/Solvane.app and `out`/UpdateManifest.plist (signed in
// `out`/UpdateManifest.plist.sig when the request holds a key) such that the patcher applying `out`
// to an installation equal to the old bundle leaves the new one: every file's bytes and permission
// bits, every folder and every symbolic link. Returns the summary, or none after writing one line
// that says why to `error` (which then holds it): the inputs are not bundles, either names no
// version or the new one is not newer than the old (compareVersions), `out` lies inside one
// of them or holds one, `out` exists and is not empty, a difference lies where the description
// cannot express it, or an item cannot be read or written (what was written is then removed again).
//
// With `delta`, a file of the new bundle whose old version is a regular file at the same place
// ships as a patch in `out`/Patches (see update_format.h) where the patch is smaller, except the
// files that a branded installation's run adapts; the description is the same as without it.
std::optional<UpdateSummary> makeUpdate(const UpdateRequest& request, std::string& error);

// Sets "OstrelPublicKey" in `bundle`/Contents/Info.plist to the public key of `publicKeyPath` (a
// PREFIX.pub), keeping the file's other keys and its permission bits; the file is replaced
// atomically. False with one line in `error` when the file is no public key, `bundle` is no
// application bundle, or its Info.plist cannot be read or written; the bundle is then unchanged.
bool setBundleKey(const std::string& publicKeyPath, const std::string& bundle, std::string& error);

}  // namespace ostrel
