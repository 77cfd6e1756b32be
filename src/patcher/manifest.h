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
#include "patcher/update_format.h"

namespace ostrel {

inline constexpr const char* kManifestName = "UpdateManifest.plist";
inline constexpr const char* kSignatureName = "UpdateManifest.plist.sig";
inline constexpr const char* kPublicKeyKey = "OstrelPublicKey";
inline constexpr const char* kFromVersionKey = "FromVersion";
inline constexpr const char* kToVersionKey = "ToVersion";
inline constexpr std::size_t kSmallFileBytes = 1024;  // a key or a signature in base64

// The bundle versions an update takes an installation from and to.
struct UpdateVersions {
    std::string from;
    std::string to;
};

// What the vendor's builder (which writes what the check reads) shares with the check.
//
// The update's bundle and description in `updateFolder`.
std::string bundleOf(const std::string& updateFolder);
std::string descriptionOf(const std::string& updateFolder);
// The description's size and digest, as the manifest records them.
corvant::Dictionary descriptionRecord(const std::string& descriptionBytes);
// The SHA-256 in hex of the regular file at `path`, read piece by piece. None when it is anything
// else (a link is not followed, a FIFO or device is not waited for) or cannot be read.
std::optional<std::string> fileDigest(const std::string& path);
// False when the cryptography library cannot be started.
bool sodiumReady();
// `bytes` in base64, and the bytes of base64 `text` (blanks and line breaks ignored) when it
// decodes whole to `length`.
std::string base64(const unsigned char* bytes, std::size_t length);
std::optional<std::string> fromBase64(const std::string& text, std::size_t length);

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
    // The files of a delta update that the bundle does not hold yet: each is made from the
    // installed file by its patch, which matches the manifest (see delta.h).
    std::vector<PatchedFile> patches;
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
