// The update's manifest ("UpdateManifest.plist"): every item of the unpacked bundle the update
// ships, with its kind, permission bits, size and SHA-256 or link target, the digest of the
// description, and the version the update is made from and the one it makes. Its detached Ed25519
// signature ("UpdateManifest.plist.sig") is checked against the key the installed application
// carries in its Info.plist as "OstrelPublicKey".
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/value.h"

namespace ostrel {

inline constexpr const char* kManifestName = "UpdateManifest.plist";
inline constexpr const char* kSignatureName = "UpdateManifest.plist.sig";
inline constexpr const char* kPublicKeyKey = "OstrelPublicKey";

// The bundle versions an update takes an installation from and to.
struct UpdateVersions {
    std::string from;
    std::string to;
};

// The manifest of the update in `updateFolder` (its "Solvane.app" and "UpdateInfo.plist") for
// `versions`, as XML property-list text, items in walk order; none after setting `error` when an
// item cannot be read or is neither a file, a folder nor a symbolic link.
std::optional<std::string> manifestText(const std::string& updateFolder,
                                        const UpdateVersions& versions, std::string& error);

// Writes PREFIX.key (the secret key in base64, mode 0600 from its creation) and PREFIX.pub (the
// public key in base64, one line). Neither is overwritten: false with `error` when either exists
// or cannot be written, and then neither is left behind.
bool generateKeyPair(const std::string& prefix, std::string& error);

// The secret key of a PREFIX.key file; none with `error` when it is unreadable or no key.
std::optional<std::string> readSecretKey(const std::string& path, std::string& error);

// The public key of a PREFIX.pub file, in base64; none with `error` when it is unreadable or no
// public key (a secret key included).
std::optional<std::string> readPublicKey(const std::string& path, std::string& error);

// The detached signature of `bytes` by `secretKey`, in base64 with a line break.
std::string signatureText(const std::string& bytes, const std::string& secretKey);

// Creates `path` with `bytes` and the permission bits `mode`; refuses an existing file.
bool writeNewFile(const std::string& path, const std::string& bytes, unsigned mode);

// The public key in the Info.plist of the bundle at `bundle`: none when the bundle has no
// Info.plist or its Info.plist carries no key; none with `why` set when the Info.plist is there
// but cannot be read whole, or its key is not one.
std::optional<std::string> bundlePublicKey(const std::string& bundle, std::string& why);

// True when the update's manifest, as it stands in `updateFolder`, is signed by `key`.
bool isManifestSignedBy(const std::string& updateFolder, const std::string& key);

// What the update's manifest and signature say about the update in `updateFolder` for the
// installation at `installedApplication`, given the bytes of its description as the run read them
// (the ones it then uses). `refusal`, when set, is the one line that names why the update must not
// be applied; `verdicts` are the checks that passed. Besides the installation the update names,
// every installed bundle with a key that a deletion or copy reaches must have signed the manifest
// (see keyed_bundles.h).
//
// Where the installed application carries a key, the signature is checked over the manifest's
// bytes before the manifest is parsed, and the description's bytes against the signed manifest
// before the description is parsed: nothing unsigned is read beyond the application's name.
// Without a key the description is parsed first, as it always was.
struct UpdateVerification {
    std::vector<std::string> verdicts;
    std::optional<std::string> refusal;
    bool keyed = false;  // the installed application carries a key
    // The description, once it could be parsed and, where a key requires it, is vouched for.
    std::optional<corvant::Dictionary> updateInfo;
};
UpdateVerification verifyUpdate(const std::string& updateFolder,
                                const std::string& installedApplication,
                                const std::string& descriptionBytes);

// The two readers of what an update brings, for the fuzz targets: the number of items in
// manifest bytes (none after setting `why`), and the detached signature in a signature file's
// text (none when it is not one).
std::optional<std::size_t> manifestItemCount(const std::string& bytes, std::string& why);
std::optional<std::string> signatureFromText(const std::string& text);

}  // namespace ostrel
