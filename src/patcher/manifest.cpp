#include "patcher/manifest.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include "common/format.h"
#include "common/paths.h"
#include "common/plist.h"
#include "common/regular_file.h"
#include "patcher/bundle_version.h"
#include "patcher/keyed_bundles.h"
#include "patcher/sha256.h"
#include "patcher/update_description.h"
#include "patcher/update_format.h"

namespace ostrel {

namespace fs = std::filesystem;
using corvant::Array;
using corvant::Dictionary;
using corvant::formatString;
using corvant::Value;
using corvant::WalkOrder;

namespace {

const unsigned char* unsignedBytes(const std::string& bytes) {
    return reinterpret_cast<const unsigned char*>(bytes.data());
}

}  // namespace

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::string base64(const unsigned char* bytes, std::size_t length) {
    std::string text(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, length, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::optional<std::string> fromBase64(const std::string& text, std::size_t length) {
    std::string bytes(length + 1, '\0');
    std::size_t decoded = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(),
                          text.c_str(), text.size(), " \t\r\n", &decoded, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.c_str() + text.size() || decoded != length)
        return std::nullopt;
    bytes.resize(length);
    return bytes;
}

std::optional<std::string> fileDigest(const std::string& path) {
    Sha256 digest;
    const bool read =
        corvant::readRegularFileInPieces(path, corvant::LinkAtPath::Refuse, UINT64_MAX,
                                         [&digest](const char* piece, std::size_t size) {
                                             digest.add(piece, size);
                                             return true;
                                         });
    if (!read) return std::nullopt;
    return digest.hex();
}

std::string bundleOf(const std::string& updateFolder) {
    return updateFolder + "/" + kDefaultBundleName;
}

std::string descriptionOf(const std::string& updateFolder) {
    return updateFolder + "/" + kDescriptionName;
}

Dictionary descriptionRecord(const std::string& descriptionBytes) {
    return Dictionary{{"Size", static_cast<std::int64_t>(descriptionBytes.size())},
                      {"SHA256", sha256Hex(descriptionBytes)}};
}

namespace {

// One manifest entry, read back; none when a field is missing or of the wrong kind.
std::optional<BundleItem> readItem(const Dictionary& fields) {
    const std::string* kind = corvant::lookup(fields, "Kind").as<std::string>();
    const std::int64_t* mode = corvant::lookup(fields, "Mode").as<std::int64_t>();
    if (kind == nullptr || mode == nullptr || *mode < 0 || *mode > 07777) return std::nullopt;
    BundleItem item;
    item.mode = *mode;
    if (*kind == "folder") {
        item.kind = ItemKind::Folder;
    } else if (*kind == "file") {
        const std::int64_t* size = corvant::lookup(fields, "Size").as<std::int64_t>();
        const std::string* digest = corvant::lookup(fields, "SHA256").as<std::string>();
        if (size == nullptr || digest == nullptr) return std::nullopt;
        item.kind = ItemKind::File;
        item.size = *size;
        item.sha256 = *digest;
    } else if (*kind == "link") {
        const std::string* target = corvant::lookup(fields, "Target").as<std::string>();
        if (target == nullptr) return std::nullopt;
        item.kind = ItemKind::Link;
        item.target = *target;
    } else {
        return std::nullopt;
    }
    return item;
}

// A size and SHA-256 the manifest records under `key` of an item; none when absent or malformed.
std::optional<FileIdentity> readIdentity(const Dictionary& fields, const char* key) {
    const Dictionary* record = corvant::lookup(fields, key).as<Dictionary>();
    const std::int64_t* size =
        record ? corvant::lookup(*record, "Size").as<std::int64_t>() : nullptr;
    const std::string* digest =
        record ? corvant::lookup(*record, "SHA256").as<std::string>() : nullptr;
    if (size == nullptr || digest == nullptr || *size < 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(*size), *digest};
}

// The base and patch of a file a delta update makes: none when the item has neither; false when
// it has only one, or one that is malformed, or it is no file.
bool readPatch(const std::string& path, const Dictionary& fields, const BundleItem& item,
               std::optional<PatchedFile>& patched) {
    bool hasBase = !corvant::lookup(fields, kBaseKey).isAbsent();
    bool hasPatch = !corvant::lookup(fields, kPatchKey).isAbsent();
    if (!hasBase && !hasPatch) return true;
    std::optional<FileIdentity> base = readIdentity(fields, kBaseKey);
    std::optional<FileIdentity> patch = readIdentity(fields, kPatchKey);
    if (!base || !patch || item.kind != ItemKind::File) return false;
    patched = PatchedFile{
        path, *base, *patch, {static_cast<std::uint64_t>(item.size), item.sha256}, item.mode};
    return true;
}

struct Manifest {
    BundleListing items;
    std::map<std::string, PatchedFile, WalkOrder> patched;
    Dictionary description;
    UpdateVersions versions;  // empty where the manifest names none
};

std::string textOf(const Dictionary& fields, const char* key) {
    const std::string* text = corvant::lookup(fields, key).as<std::string>();
    return text ? *text : std::string();
}

// The manifest in `bytes`; none after setting `why` to the line that refuses it.
std::optional<Manifest> parseManifest(const std::string& bytes, std::string& why) {
    bool tooManyEntries = false;
    std::optional<Value> root =
        corvant::parsePropertyList(bytes, kMaxUpdateEntries, tooManyEntries);
    const Dictionary* fields = root ? root->as<Dictionary>() : nullptr;
    const Array* items = fields ? corvant::lookup(*fields, "Items").as<Array>() : nullptr;
    const Dictionary* description =
        fields ? corvant::lookup(*fields, kDescriptionName).as<Dictionary>() : nullptr;
    if (tooManyEntries) {
        why = tooManyEntriesLine(kManifestName);
        return std::nullopt;
    }
    if (items == nullptr || description == nullptr) {
        why = formatString("%@ is not a manifest: it is not a dictionary with %@ and %@",
                           kManifestName, "Items", kDescriptionName);
        return std::nullopt;
    }
    Manifest manifest{
        {}, {}, *description, {textOf(*fields, kFromVersionKey), textOf(*fields, kToVersionKey)}};
    int number = 0;
    for (const Value& value : *items) {
        ++number;
        const Dictionary* entry = value.as<Dictionary>();
        const std::string* path =
            entry ? corvant::lookup(*entry, "Path").as<std::string>() : nullptr;
        std::optional<BundleItem> item = path ? readItem(*entry) : std::nullopt;
        std::optional<PatchedFile> patched;
        if (!item || path->empty() || !readPatch(*path, *entry, *item, patched) ||
            !manifest.items.emplace(*path, *item).second) {
            why = formatString("%@ is not a manifest: its item %d is %@", kManifestName, number,
                               "no item or a second one of its path");
            return std::nullopt;
        }
        if (patched) manifest.patched.emplace(*path, std::move(*patched));
    }
    return manifest;
}

// Why the update's item differs from the manifest's; none when they agree.
std::optional<std::string> itemMismatch(const std::string& path, const BundleItem& wanted,
                                        const BundleItem& found) {
    if (wanted.kind != found.kind)
        return formatString("%@ is a %@ in the update, a %@ in the manifest", path,
                            kindName(found.kind), kindName(wanted.kind));
    if (wanted.mode != found.mode)
        return formatString("%@ has permission bits %04o in the update, %04o in the manifest", path,
                            static_cast<unsigned>(found.mode), static_cast<unsigned>(wanted.mode));
    if (wanted.target != found.target)
        return formatString("%@ links to %@ in the update, to %@ in the manifest", path,
                            found.target, wanted.target);
    return std::nullopt;
}

// Why the patch of a file the bundle does not hold yet cannot make it: the patch differs from the
// manifest's, or the file's place is not a folder of the bundle.
std::optional<std::string> patchMismatch(const std::string& updateFolder,
                                         const BundleListing& wanted, const PatchedFile& file) {
    std::string parent = corvant::parentOf(file.path);
    auto folder = wanted.find(parent);
    std::string name = corvant::nameOf(file.path);
    if (name.empty() || name == "." || name == ".." ||
        (!parent.empty() && (folder == wanted.end() || folder->second.kind != ItemKind::Folder)))
        return file.path + " lies in no folder of the bundle";
    std::string patch = patchOf(updateFolder, file.path);
    struct stat status {};
    if (::lstat(patch.c_str(), &status) != 0)
        return formatString("%@ is missing, and so is its patch %@/%@", file.path,
                            kPatchesFolderName, file.path);
    if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != file.patch.size ||
        fileDigest(patch) != file.patch.sha256)
        return formatString("the patch %@/%@ differs in its bytes from the manifest",
                            kPatchesFolderName, file.path);
    return std::nullopt;
}

// Why the update's bundle differs from the manifest; none when it agrees. A patched file the
// bundle does not hold is left for its patch to make, and goes to `outstanding`.
std::optional<std::string> firstMismatch(const std::string& updateFolder, const Manifest& manifest,
                                         const BundleListing& found,
                                         std::vector<PatchedFile>& outstanding) {
    const std::string bundle = bundleOf(updateFolder);
    const BundleListing& wanted = manifest.items;
    WalkOrder before;
    auto w = wanted.begin();
    auto f = found.begin();
    while (w != wanted.end() || f != found.end()) {
        if (f == found.end() || (w != wanted.end() && before(w->first, f->first))) {
            auto patched = manifest.patched.find(w->first);
            if (patched == manifest.patched.end()) return w->first + " is missing";
            if (auto why = patchMismatch(updateFolder, wanted, patched->second)) return why;
            outstanding.push_back(patched->second);
            ++w;
            continue;
        }
        if (w == wanted.end() || before(f->first, w->first))
            return f->first + " is in the update but not in the manifest";
        if (auto why = itemMismatch(w->first, w->second, f->second)) return why;
        if (w->second.kind == ItemKind::File &&
            (w->second.size != f->second.size ||
             fileDigest(bundle + "/" + f->first) != w->second.sha256))
            return w->first + " differs in its bytes from the manifest";
        ++w;
        ++f;
    }
    return std::nullopt;
}

// True when `source` names the update's own bundle or an item in it: the folder before its
// "Solvane.app" is the update folder itself, and no ".." leads elsewhere.
bool isInShippedBundle(const std::string& source, const struct stat& updateFolder) {
    fs::path path(source);
    if (std::find(path.begin(), path.end(), "..") != path.end()) return false;
    fs::path prefix;
    for (const fs::path& part : path) {
        struct stat status {};
        if (part == kDefaultBundleName && ::stat(prefix.c_str(), &status) == 0 &&
            status.st_dev == updateFolder.st_dev && status.st_ino == updateFolder.st_ino)
            return true;
        prefix /= part;
    }
    return false;
}

// The first copy entry whose source lies outside the checked bundle, which the manifest would
// then not cover.
std::optional<std::string> sourceOutsideBundle(const std::string& updateFolder,
                                               const Dictionary& updateInfo) {
    const Array* copies = corvant::lookup(updateInfo, kCopiesKey).as<Array>();
    struct stat folder {};
    if (copies == nullptr || ::stat(updateFolder.c_str(), &folder) != 0) return std::nullopt;
    int number = 0;
    for (const Value& value : *copies) {
        ++number;
        const Dictionary* entry = value.as<Dictionary>();
        const std::string* source =
            entry ? corvant::lookup(*entry, kSourceKey).as<std::string>() : nullptr;
        if (source != nullptr && !isInShippedBundle(*source, folder))
            return formatString("%@ entry %d takes %@ from outside %@", kCopiesKey, number, *source,
                                bundleOf(updateFolder));
    }
    return std::nullopt;
}

// Why the Info.plist at `path`, which is there, cannot be read whole.
std::string unreadableBecause(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return std::string("it cannot be looked at: ") + std::strerror(errno);
    if (!S_ISREG(status.st_mode)) return "it is not a regular file";
    if (static_cast<std::uint64_t>(status.st_size) > corvant::kMaxPropertyListFileBytes)
        return formatString("it is larger than %llu bytes",
                            static_cast<unsigned long long>(corvant::kMaxPropertyListFileBytes));
    std::optional<std::string> bytes =
        corvant::readRegularFile(path, corvant::kMaxPropertyListFileBytes);
    if (!bytes) return "it cannot be read by this user";
    std::optional<Value> root = corvant::parsePropertyList(*bytes);
    if (!root) return "it is malformed, or nested deeper than property lists are read";
    return "it is not a dictionary";
}

// The public key in the Info.plist of the bundle at `application`: none when the bundle has no
// Info.plist or the Info.plist carries no key. An Info.plist that is there but cannot be read whole
// could carry one, so it sets `why` instead of counting as keyless; so does a key that is not one.
std::optional<std::string> installedPublicKey(const std::string& application, std::string& why) {
    const std::string path = application + "/Contents/Info.plist";
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return std::nullopt;
    std::optional<Dictionary> info = corvant::readDictionaryFromFile(path);
    if (!info) {
        why = formatString("%@ cannot be read whole (%@), so whether it carries %@ is unknown",
                           path, unreadableBecause(path), kPublicKeyKey);
        return std::nullopt;
    }
    const Value& value = corvant::lookup(*info, kPublicKeyKey);
    if (value.isAbsent()) return std::nullopt;
    const std::string* text = value.as<std::string>();
    std::optional<std::string> key =
        text ? fromBase64(*text, crypto_sign_PUBLICKEYBYTES) : std::nullopt;
    if (!key)
        why = formatString("the %@ in %@ is not an Ed25519 public key in base64", kPublicKeyKey,
                           path);
    return key;
}

// Why the installation at `application` is not the version the update was made from; none when
// it is. Applied over another version, the update would leave a bundle that is neither.
std::optional<std::string> baseMismatch(const UpdateVersions& versions,
                                        const std::string& application) {
    if (versions.from.empty())
        return formatString("%@ names no version the update is made from", kManifestName);
    std::string why;
    std::optional<std::string> installed = bundleVersion(application, why);
    if (!installed) return formatString("the update is for version %@, and %@", versions.from, why);
    if (compareVersions(*installed, versions.from) != 0)
        return formatString("the update is for version %@, the installed application is version %@",
                            versions.from, *installed);
    return std::nullopt;
}

// The update's detached signature; none when it is absent or not a signature in base64.
std::optional<std::string> readSignature(const std::string& updateFolder) {
    std::optional<std::string> text =
        corvant::readRegularFile(updateFolder + "/" + kSignatureName, kSmallFileBytes);
    return text ? signatureFromText(*text) : std::nullopt;
}

bool signs(const std::string& signature, const std::string& bytes, const std::string& key) {
    return crypto_sign_verify_detached(unsignedBytes(signature), unsignedBytes(bytes), bytes.size(),
                                       unsignedBytes(key)) == 0;
}

bool isPresent(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// The checks in the order that keeps unsigned bytes unparsed where a key is installed: the key,
// the manifest's signature over its bytes, the manifest, the description's bytes against it, and
// only then the description and the bundle.
class Verifier {
  public:
    Verifier(const std::string& updateFolder, const std::string& application,
             const std::string& descriptionBytes)
        : update_(updateFolder), application_(application), descriptionBytes_(descriptionBytes) {}

    UpdateVerification verify() {
        checks();
        return result_;
    }

  private:
    bool refuse(const std::string& why) {
        result_.refusal = why;
        return false;
    }
    bool checks();
    bool readKey();
    bool describe();
    bool signature(const std::string& manifestBytes);
    bool contents(const std::string& manifestBytes);

    const std::string update_;
    const std::string application_;
    const std::string& descriptionBytes_;
    std::optional<std::string> key_;
    UpdateVerification result_;
};

// True when the update may be applied; otherwise the refusal is set.
bool Verifier::checks() {
    if (!readKey()) return false;
    if (!key_ && !describe()) return false;
    std::string manifestPath = update_ + "/" + kManifestName;
    if (!isPresent(manifestPath)) {
        if (key_)
            return refuse(std::string("the update carries no ") + kManifestName +
                          ", and the installed application's " + kPublicKeyKey + " requires one");
        result_.verdicts.push_back(std::string("the update carries no ") + kManifestName +
                                   ", so it is applied unchecked");
        return true;
    }
    std::optional<std::string> bytes =
        corvant::readRegularFile(manifestPath, corvant::kMaxPropertyListFileBytes);
    if (!bytes)
        return refuse(isLargerThanPropertyListBound(manifestPath)
                          ? tooLargeLine(kManifestName)
                          : manifestPath + " cannot be read");
    return signature(*bytes) && contents(*bytes);
}

bool Verifier::readKey() {
    std::string why;
    key_ = installedPublicKey(application_, why);
    if (!sodiumReady()) why = "the cryptography library cannot be started";
    // Something under the key that is not one guards the installation as a key would.
    result_.keyed = key_.has_value() || !why.empty();
    return why.empty() ? true : refuse(why);
}

// The run found the installation by the name read alone; the whole description must name the
// same one, whatever a reader of the name alone might have missed.
bool Verifier::describe() {
    std::string why;
    result_.updateInfo = parseDescription(descriptionBytes_, why);
    if (!result_.updateInfo) return refuse(why);
    if (installedApplicationName(*result_.updateInfo) !=
        installedApplicationName(descriptionBytes_))
        return refuse("UpdateInfo.plist names another application when it is read whole");
    return true;
}

// The signature is checked against the installed key only. Without a key nothing vouches for a
// public key, so a signature is not checked then, and its absence is no fault: updates made before
// an application carried a key keep applying, and one of them brings the key.
bool Verifier::signature(const std::string& manifestBytes) {
    std::string path = update_ + "/" + kSignatureName;
    if (!key_) {
        result_.verdicts.push_back(formatString(
            isPresent(path) ? "%@ is not checked: the installed application carries no %@"
                            : "%@ is absent, and the installed application carries no %@",
            kSignatureName, kPublicKeyKey));
        return true;
    }
    std::optional<std::string> signature = readSignature(update_);
    if (!signature)
        return refuse(
            formatString("the update carries no readable %@, and the installed "
                         "application's %@ requires one",
                         kSignatureName, kPublicKeyKey));
    if (!signs(*signature, manifestBytes, *key_))
        return refuse(formatString("%@ is not a signature of %@ by the installed application's %@",
                                   kSignatureName, kManifestName, kPublicKeyKey));
    result_.verdicts.push_back(formatString("%@ is signed by the installed application's %@",
                                            kManifestName, kPublicKeyKey));
    return true;
}

bool Verifier::contents(const std::string& manifestBytes) {
    std::string why;
    std::optional<Manifest> manifest = parseManifest(manifestBytes, why);
    if (!manifest) return refuse(why);
    if (descriptionRecord(descriptionBytes_) != manifest->description)
        return refuse(formatString("UpdateInfo.plist does not match the one in %@", kManifestName));
    if (key_ && !describe()) return false;
    if (auto outside = sourceOutsideBundle(update_, *result_.updateInfo)) return refuse(*outside);
    BundleListing found;
    if (!walkBundle(bundleOf(update_), found, why, AbsentBundle::HoldsNothing)) return refuse(why);
    if (auto mismatch = firstMismatch(update_, *manifest, found, result_.patches))
        return refuse(formatString("the update does not match %@: %@", kManifestName, *mismatch));
    result_.verdicts.push_back(formatString("the update matches %@ (%d items)", kManifestName,
                                            static_cast<int>(found.size())));
    if (!result_.patches.empty())
        result_.verdicts.push_back(
            formatString("%d files of the update are patches, to be made from the installed ones",
                         static_cast<int>(result_.patches.size())));
    if (auto why = baseMismatch(manifest->versions, application_)) return refuse(*why);
    result_.verdicts.push_back(formatString("the update takes the installed version %@ to %@",
                                            manifest->versions.from, manifest->versions.to));
    return true;
}

}  // namespace

std::optional<std::string> bundlePublicKey(const std::string& bundle, std::string& why) {
    return installedPublicKey(bundle, why);
}

bool isManifestSignedBy(const std::string& updateFolder, const std::string& key) {
    std::optional<std::string> bytes = corvant::readRegularFile(updateFolder + "/" + kManifestName,
                                                                corvant::kMaxPropertyListFileBytes);
    std::optional<std::string> signature = readSignature(updateFolder);
    return bytes && signature && sodiumReady() && signs(*signature, *bytes, key);
}

UpdateVerification verifyUpdate(const std::string& updateFolder,
                                const std::string& installedApplication,
                                const std::string& descriptionBytes) {
    UpdateVerification result =
        Verifier(updateFolder, installedApplication, descriptionBytes).verify();
    // Every accepted path has read the description whole by now.
    if (!result.refusal && result.updateInfo)
        result.refusal = keyedBundleRefusal(updateFolder, installedApplication, *result.updateInfo);
    return result;
}

std::optional<std::size_t> manifestItemCount(const std::string& bytes, std::string& why) {
    std::optional<Manifest> manifest = parseManifest(bytes, why);
    if (!manifest) return std::nullopt;
    return manifest->items.size();
}

std::optional<std::string> signatureFromText(const std::string& text) {
    return fromBase64(text, crypto_sign_BYTES);
}

}  // namespace ostrel
