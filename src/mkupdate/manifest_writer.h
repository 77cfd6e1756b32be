// The vendor's half of the update's manifest: the key pair that signs it, its text for an update
// folder, and its detached signature. The patcher's half, which checks them, is patcher/manifest.h.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "patcher/manifest.h"
#include "patcher/update_format.h"

namespace ostrel {

// The manifest of the update in `updateFolder` (its "Solvane.app" and "UpdateInfo.plist") for
// `versions`, as XML property-list text, items in walk order; none after setting `error` when an
// item cannot be read or is neither a file, a folder nor a symbolic link. The `patched` files,
// which the bundle does not hold, are listed with their base and patch among its items.
std::optional<std::string> manifestText(const std::string& updateFolder,
                                        const UpdateVersions& versions,
                                        const std::vector<PatchedFile>& patched,
                                        std::string& error);
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

}  // namespace ostrel
