#include "mkupdate/manifest_writer.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "common/plist.h"
#include "common/regular_file.h"
#include "patcher/update_description.h"
#include "patcher/update_format.h"

namespace ostrel {

using corvant::Array;
using corvant::Dictionary;

namespace {

bool isPresent(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

const unsigned char* unsignedBytes(const std::string& bytes) {
    return reinterpret_cast<const unsigned char*>(bytes.data());
}

Dictionary identityRecord(const FileIdentity& identity) {
    return Dictionary{{"Size", static_cast<std::int64_t>(identity.size)},
                      {"SHA256", identity.sha256}};
}

}  // namespace

std::optional<std::string> manifestText(const std::string& updateFolder,
                                        const UpdateVersions& versions, std::string& error) {
    return manifestText(updateFolder, versions, {}, error);
}

std::optional<std::string> manifestText(const std::string& updateFolder,
                                        const UpdateVersions& versions,
                                        const std::vector<PatchedFile>& patched,
                                        std::string& error) {
    BundleListing items;
    if (!walkBundle(bundleOf(updateFolder), items, error, AbsentBundle::HoldsNothing))
        return std::nullopt;
    std::map<std::string, const PatchedFile*> patches;
    for (const PatchedFile& file : patched) {
        patches[file.path] = &file;
        items[file.path] = BundleItem{.kind = ItemKind::File,
                                      .mode = file.mode,
                                      .size = static_cast<std::int64_t>(file.result.size),
                                      .target = {},
                                      .sha256 = file.result.sha256};
    }
    if (items.size() > kMaxUpdateEntries) {
        error = tooManyEntriesLine(kManifestName);
        return std::nullopt;
    }
    std::optional<std::string> descriptionBytes =
        corvant::readRegularFile(descriptionOf(updateFolder), corvant::kMaxPropertyListFileBytes);
    if (!descriptionBytes) {
        error = isLargerThanPropertyListBound(descriptionOf(updateFolder))
                    ? tooLargeLine("UpdateInfo.plist")
                    : descriptionOf(updateFolder) + " cannot be read";
        return std::nullopt;
    }
    if (!parseDescription(*descriptionBytes, error)) return std::nullopt;
    Array entries;
    for (const auto& [path, item] : items) {
        Dictionary entry{{"Path", path}, {"Kind", kindName(item.kind)}, {"Mode", item.mode}};
        std::optional<std::string> digest;
        switch (item.kind) {
            case ItemKind::File:
                if (auto patch = patches.find(path); patch != patches.end()) {
                    entry[kBaseKey] = identityRecord(patch->second->base);
                    entry[kPatchKey] = identityRecord(patch->second->patch);
                    digest = item.sha256;
                } else {
                    digest = fileDigest(bundleOf(updateFolder) + "/" + path);
                }
                if (!digest) {
                    error = bundleOf(updateFolder) + "/" + path + " cannot be read";
                    return std::nullopt;
                }
                entry["Size"] = item.size;
                entry["SHA256"] = *digest;
                break;
            case ItemKind::Link:
                entry["Target"] = item.target;
                break;
            case ItemKind::Folder:
                break;
            case ItemKind::Other:
                error = bundleOf(updateFolder) + "/" + path +
                        " is neither a file, a folder nor a symbolic link";
                return std::nullopt;
        }
        entries.emplace_back(std::move(entry));
    }
    std::string text = corvant::toXmlPropertyList(
        Dictionary{{"Items", std::move(entries)},
                   {kDescriptionName, descriptionRecord(*descriptionBytes)},
                   {kFromVersionKey, versions.from},
                   {kToVersionKey, versions.to}});
    if (text.size() > corvant::kMaxPropertyListFileBytes) {
        error = tooLargeLine(kManifestName);
        return std::nullopt;
    }
    return text;
}

bool writeNewFile(const std::string& path, const std::string& bytes, unsigned mode) {
    const int descriptor =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (descriptor < 0) return false;
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t put = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        written += static_cast<std::size_t>(put);
    }
    bool complete = written == bytes.size() && ::fsync(descriptor) == 0;
    complete = ::close(descriptor) == 0 && complete;
    if (!complete) ::unlink(path.c_str());
    return complete;
}

bool generateKeyPair(const std::string& prefix, std::string& error) {
    const std::string secretPath = prefix + ".key";
    const std::string publicPath = prefix + ".pub";
    for (const std::string& path : {secretPath, publicPath}) {
        if (isPresent(path)) {
            error = path + " exists, and a key is never overwritten";
            return false;
        }
    }
    if (!sodiumReady()) {
        error = "the cryptography library cannot be started";
        return false;
    }
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(publicKey, secretKey);
    std::string secretText = base64(secretKey, sizeof secretKey) + "\n";
    sodium_memzero(secretKey, sizeof secretKey);
    // Created with mode 0600, so that no one else can read it at any moment.
    bool written = writeNewFile(secretPath, secretText, 0600);
    const int writeError = errno;
    sodium_memzero(secretText.data(), secretText.size());
    if (!written) {
        error = secretPath + " cannot be written: " + std::strerror(writeError);
        return false;
    }
    if (!writeNewFile(publicPath, base64(publicKey, sizeof publicKey) + "\n", 0644)) {
        error = publicPath + " cannot be written: " + std::strerror(errno);
        ::unlink(secretPath.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> readSecretKey(const std::string& path, std::string& error) {
    std::optional<std::string> text = corvant::readRegularFile(path, kSmallFileBytes);
    std::optional<std::string> key =
        text ? fromBase64(*text, crypto_sign_SECRETKEYBYTES) : std::nullopt;
    if (text) sodium_memzero(text->data(), text->size());
    if (!key || !sodiumReady()) {
        error = path + " is not a key made by --generate-key";
        return std::nullopt;
    }
    return key;
}

std::optional<std::string> readPublicKey(const std::string& path, std::string& error) {
    std::optional<std::string> text = corvant::readRegularFile(path, kSmallFileBytes);
    std::optional<std::string> key =
        text ? fromBase64(*text, crypto_sign_PUBLICKEYBYTES) : std::nullopt;
    if (text) sodium_memzero(text->data(), text->size());  // a secret key given by mistake
    if (!key || !sodiumReady()) {
        error = path + " is not a public key made by --generate-key";
        return std::nullopt;
    }
    return base64(unsignedBytes(*key), key->size());
}

std::string signatureText(const std::string& bytes, const std::string& secretKey) {
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, unsignedBytes(bytes), bytes.size(),
                         unsignedBytes(secretKey));
    return base64(signature, sizeof signature) + "\n";
}

}  // namespace ostrel
