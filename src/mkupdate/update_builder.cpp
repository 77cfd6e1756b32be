#include "mkupdate/update_builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <vector>

#include "common/paths.h"
#include "common/plist.h"
#include "mkupdate/manifest_writer.h"
#include "patcher/branding.h"
#include "patcher/bundle_version.h"
#include "patcher/file_patch.h"
#include "patcher/places.h"
#include "patcher/removal.h"
#include "patcher/sha256.h"
#include "patcher/update_description.h"
#include "patcher/update_format.h"

namespace ostrel {

namespace fs = std::filesystem;
using corvant::Array;
using corvant::Dictionary;
using corvant::extendsFolder;
using corvant::nameOf;
using corvant::parentOf;
using corvant::WalkOrder;

namespace {

using PathSet = std::set<std::string, WalkOrder>;

bool sameBytes(const std::string& left, const std::string& right) {
    int a = ::open(left.c_str(), O_RDONLY | O_CLOEXEC);
    int b = ::open(right.c_str(), O_RDONLY | O_CLOEXEC);
    bool same = a >= 0 && b >= 0;
    std::vector<char> bufferA(1 << 16), bufferB(1 << 16);
    while (same) {
        ssize_t gotA = ::read(a, bufferA.data(), bufferA.size());
        if (gotA <= 0) {
            same = gotA == 0 && ::read(b, bufferB.data(), 1) == 0;
            break;
        }
        ssize_t gotB = ::read(b, bufferB.data(), static_cast<size_t>(gotA));
        if (gotB != gotA) {
            same = false;
            break;
        }
        same = std::equal(bufferA.begin(), bufferA.begin() + gotA, bufferB.begin());
    }
    if (a >= 0) ::close(a);
    if (b >= 0) ::close(b);
    return same;
}

// True when the text is UTF-8 without control characters: a property-list string that reads back
// as written.
bool isPlainText(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) return false;
        std::size_t extra = 0;  // continuation bytes of this character
        if (c >= 0x80) {
            if ((c >> 5) == 0x6)
                extra = 1;
            else if ((c >> 4) == 0xe)
                extra = 2;
            else if ((c >> 3) == 0x1e)
                extra = 3;
            else
                return false;
        }
        if (i + extra >= text.size() && extra > 0) return false;
        for (std::size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
        i += extra + 1;
    }
    return true;
}

// Why `bundle` is no application bundle; none when it is one.
std::optional<std::string> whyNotABundle(const std::string& bundle) {
    struct stat status {};
    if (::stat((bundle + "/Contents/Info.plist").c_str(), &status) == 0 && S_ISREG(status.st_mode))
        return std::nullopt;
    return bundle + " is not an application bundle (it has no Contents/Info.plist)";
}

bool isOnlyDots(const std::string& name) {
    return name.find_first_not_of('.') == std::string::npos;
}

// `path` made absolute, with every link and ".." resolved as far as it exists and the rest added
// as written (without a trailing slash).
std::string realPath(const std::string& path) {
    std::error_code code;
    fs::path absolute = fs::absolute(path, code);
    fs::path real = fs::weakly_canonical(absolute, code);
    std::string text = (code ? absolute.lexically_normal() : real).string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// The outermost folder on the way to `path` (itself included) that does not exist yet; empty when
// `path` exists.
std::string firstMissingFolder(const std::string& path) {
    std::error_code code;
    fs::path missing;
    for (fs::path at = fs::absolute(path, code).lexically_normal();
         !at.empty() && !fs::exists(fs::symlink_status(at, code)); at = at.parent_path()) {
        missing = at;
        if (at == at.parent_path()) break;
    }
    return missing.string();
}

class Builder {
  public:
    Builder(const UpdateRequest& request, std::string& error)
        : request_(request), error_(error), branded_(isBrandedBundleName(request.name + ".app")) {}

    std::optional<UpdateSummary> build();

  private:
    bool refuse(const std::string& why) {
        error_ = why;
        return false;
    }
    bool readVersions();
    bool compare();
    // Chooses to copy `relative` (as it stands in the new bundle), or its folder whole where an
    // entry of its own cannot make it exactly.
    bool copy(std::string relative);
    bool remove(const std::string& relative);
    bool expressible(const std::string& relative) const;
    bool prepareForBranding();
    bool writeOut(UpdateSummary& summary);
    bool writeManifest();
    bool copyItem(const std::string& relative, UpdateSummary& summary);
    enum class Shipped { AsPatch, Whole, Failed };
    Shipped shipAsPatch(const std::string& relative, UpdateSummary& summary);
    bool isPatchable(const std::string& relative) const;
    int countPatchable(const PathSet& shipped) const;
    void showProgress();
    bool outsideTheBundles();
    void removeWhatWasMade(const std::string& made);

    const UpdateRequest& request_;
    std::string& error_;
    const bool branded_;
    UpdateVersions versions_;
    BundleListing old_;
    BundleListing new_;
    PathSet copies_;
    PathSet deletions_;
    PathSet shippedOnly_;  // in the unpacked bundle for the branding, not copied
    std::vector<PatchedFile> patched_;
    int patchable_ = 0;  // files that may ship as patches, for the progress
    int weighed_ = 0;    // of them, those decided so far
};

std::string bundleFolder(const std::string& relative) {
    std::string parent = parentOf(relative);
    return std::string(kDefaultApplicationPath) + (parent.empty() ? "" : "/" + parent);
}

// An entry can name the item when every part of its path reads back from the description as
// written, its name is more than dots, and a branded installation's rewrite of the default
// bundle's path meets only the bundle itself.
bool Builder::expressible(const std::string& relative) const {
    if (!isPlainText(relative) || isOnlyDots(nameOf(relative))) return false;
    if (!branded_) return true;
    std::string target = std::string(kDefaultApplicationPath) + "/" + relative;
    return target.find(kDefaultApplicationPath, 1) == std::string::npos;
}

bool Builder::copy(std::string relative) {
    for (;;) {
        const BundleItem& item = new_.at(relative);
        // A link named on cp's command line is followed, so a link is made by copying its folder;
        // so is an item whose name no entry can hold. In a branded installation the executable's
        // folder goes whole, since the executable there bears the installation's name.
        bool viaFolder = item.kind == ItemKind::Link || !expressible(relative) ||
                         (branded_ && extendsFolder(relative, "Contents/MacOS"));
        if (!viaFolder) break;
        std::string parent = parentOf(relative);
        if (parent.empty())
            return refuse(request_.newBundle + "/" + relative +
                          " lies directly in the bundle and cannot be installed by an entry of "
                          "its own (a symbolic link, or a name the description cannot hold)");
        relative = parent;
    }
    if (new_.at(relative).kind == ItemKind::Other)
        return refuse(request_.newBundle + "/" + relative +
                      " is neither a file, a folder nor a symbolic link");
    copies_.insert(relative);
    return true;
}

bool Builder::remove(const std::string& relative) {
    if (expressible(relative) && !(branded_ && extendsFolder(relative, "Contents/MacOS"))) {
        deletions_.insert(relative);
        return true;
    }
    std::string parent = parentOf(relative);
    if (parent.empty() || new_.count(parent) == 0)
        return refuse(request_.oldBundle + "/" + relative +
                      " cannot be deleted by an entry: the description cannot hold its name");
    return copy(parent);
}

bool Builder::compare() {
    PathSet all;
    for (const auto& [relative, item] : old_) all.insert(relative);
    for (const auto& [relative, item] : new_) all.insert(relative);
    std::string handled;  // the last folder decided as a whole; what lies inside it follows it
    for (const std::string& relative : all) {
        if (!handled.empty() && extendsFolder(relative, handled)) continue;
        auto before = old_.find(relative);
        auto after = new_.find(relative);
        if (after == new_.end()) {
            if (!remove(relative)) return false;
            handled = relative;
            continue;
        }
        bool changed = before == old_.end() || before->second.kind != after->second.kind ||
                       before->second.mode != after->second.mode;
        if (!changed && after->second.kind == ItemKind::Link)
            changed = before->second.target != after->second.target;
        if (!changed && after->second.kind == ItemKind::File)
            changed = before->second.size != after->second.size ||
                      !sameBytes(request_.oldBundle + "/" + relative,
                                 request_.newBundle + "/" + relative);
        if (!changed) continue;
        if (!copy(relative)) return false;
        handled = relative;
    }
    // A folder copied whole brings everything inside it, and its removal before the copy takes
    // everything inside the old one.
    auto insideACopy = [&](const std::string& relative) {
        return std::any_of(copies_.begin(), copies_.end(), [&](const std::string& folder) {
            return extendsFolder(relative, folder);
        });
    };
    std::erase_if(copies_, insideACopy);
    PathSet deleted = deletions_;
    std::erase_if(deletions_, [&](const std::string& relative) {
        return insideACopy(relative) || copies_.count(relative) != 0 ||
               std::any_of(deleted.begin(), deleted.end(), [&](const std::string& folder) {
                   return extendsFolder(relative, folder);
               });
    });
    return true;
}

// A branded run adapts the unpacked bundle before the copies: it copies the installation's icon
// into Contents/Resources (and into the uninstaller's, where the update holds one), rewrites
// Contents/Info.plist and renames Contents/MacOS/Solvane. Those must be there for it.
bool Builder::prepareForBranding() {
    if (!branded_) return true;
    for (const char* needed : {"Contents/Info.plist", "Contents/MacOS/Solvane"}) {
        auto item = new_.find(needed);
        if (item == new_.end() || item->second.kind != ItemKind::File)
            return refuse(request_.newBundle + "/" + needed +
                          " is not a file, and a branded installation's update adapts it");
        shippedOnly_.insert(needed);
    }
    return true;
}

bool makeFolders(const std::string& folder) {
    std::error_code code;
    fs::create_directories(folder, code);
    return !code;
}

// Copies one item of the new bundle (a folder with everything inside it) into the unpacked
// bundle; on failure, says which item and whether it could not be read or not be written.
bool Builder::copyItem(const std::string& relative, UpdateSummary& summary) {
    std::string from = request_.newBundle + "/" + relative;
    std::string to = request_.out + "/" + kDefaultBundleName + "/" + relative;
    const BundleItem& item = new_.at(relative);
    std::error_code code;
    switch (item.kind) {
        case ItemKind::Link:
            fs::create_symlink(item.target, to, code);
            return !code || refuse(to + " cannot be written");
        case ItemKind::File:
            if (::access(from.c_str(), R_OK) != 0) return refuse(from + " cannot be read");
            if (isPatchable(relative)) {
                Shipped shipped = shipAsPatch(relative, summary);
                if (shipped != Shipped::Whole) return shipped == Shipped::AsPatch;
            }
            fs::copy_file(from, to, code);
            summary.bytes += static_cast<std::uintmax_t>(item.size);
            return (!code && ::chmod(to.c_str(), static_cast<mode_t>(item.mode)) == 0) ||
                   refuse(to + " cannot be written");
        case ItemKind::Folder: {
            if (!fs::exists(to, code) && !fs::create_directory(to, code))
                return refuse(to + " cannot be written");
            ::chmod(to.c_str(), 0700);
            for (auto it = new_.upper_bound(relative);
                 it != new_.end() && extendsFolder(it->first, relative); ++it)
                if (parentOf(it->first) == relative && !copyItem(it->first, summary)) return false;
            return ::chmod(to.c_str(), static_cast<mode_t>(item.mode)) == 0 ||
                   refuse(to + " cannot be written");
        }
        case ItemKind::Other:
            break;
    }
    return refuse(to + " cannot be written");
}

// The files a branded run writes over in the unpacked bundle or renames before it copies them:
// the installation holds the brand's, not the old version's.
bool isAdaptedByBranding(const std::string& relative) {
    return relative == "Contents/Info.plist" || extendsFolder(relative, "Contents/MacOS") ||
           relative == "Contents/Resources/logo.icns" ||
           relative == "Contents/Resources/Uninstaller.app/Contents/Resources/UninstallerLOGO.icns";
}

// The directory files of an installation are the user's: every successful run copies the user's
// own back over those the update brings.
bool isUsersDirectoryFile(const std::string& relative) {
    static const std::string directory = applicationDirectoryPath("").substr(1);  // no "/"
    return extendsFolder(relative, directory);
}

// A file ships as a patch when the installation holds the old version's regular file at its
// place, as the run finds it.
bool Builder::isPatchable(const std::string& relative) const {
    if (!request_.delta || isUsersDirectoryFile(relative) ||
        (branded_ && isAdaptedByBranding(relative)))
        return false;
    auto before = old_.find(relative);
    return before != old_.end() && before->second.kind == ItemKind::File;
}

int Builder::countPatchable(const PathSet& shipped) const {
    int count = 0;
    for (const std::string& top : shipped)
        for (auto it = new_.lower_bound(top);
             it != new_.end() && (it->first == top || extendsFolder(it->first, top)); ++it)
            count += it->second.kind == ItemKind::File && isPatchable(it->first);
    return count;
}

// One line on the terminal, rewritten as each file is decided, as packagers' tools show theirs.
void Builder::showProgress() {
    ++weighed_;
    if (!request_.showProgress) return;
    std::fprintf(stderr, "\rostrel-mkupdate: making patches, %d of %d files", weighed_, patchable_);
    if (weighed_ == patchable_) std::fputc('\n', stderr);
}

Builder::Shipped Builder::shipAsPatch(const std::string& relative, UpdateSummary& summary) {
    const std::string base = request_.oldBundle + "/" + relative;
    const std::string next = request_.newBundle + "/" + relative;
    showProgress();
    PatchMaking making = makeFilePatch(base, next);
    if (making.failed) {
        refuse(making.why);
        return Shipped::Failed;
    }
    if (!making.patch) return Shipped::Whole;
    std::optional<std::string> baseDigest = fileDigest(base);
    std::optional<std::string> resultDigest = fileDigest(next);
    if (!baseDigest || !resultDigest) {
        refuse((baseDigest ? next : base) + " cannot be read");
        return Shipped::Failed;
    }
    const std::string to = patchOf(request_.out, relative);
    if (!makeFolders(parentOf(to)) || !writeNewFile(to, *making.patch, 0644)) {
        refuse(to + " cannot be written");
        return Shipped::Failed;
    }
    const BundleItem& item = new_.at(relative);
    patched_.push_back({relative,
                        {static_cast<std::uint64_t>(old_.at(relative).size), *baseDigest},
                        {making.patch->size(), sha256Hex(*making.patch)},
                        {static_cast<std::uint64_t>(item.size), *resultDigest},
                        item.mode});
    summary.bytes += making.patch->size();
    ++summary.patched;
    return Shipped::AsPatch;
}

bool Builder::writeOut(UpdateSummary& summary) {
    std::string bundle = request_.out + "/" + kDefaultBundleName;
    if (!makeFolders(bundle)) return refuse(bundle + " cannot be made");
    PathSet shipped = copies_;
    shipped.insert(shippedOnly_.begin(), shippedOnly_.end());
    patchable_ = countPatchable(shipped);
    for (const std::string& relative : shipped) {
        if (std::any_of(copies_.begin(), copies_.end(),
                        [&](const std::string& f) { return extendsFolder(relative, f); }))
            continue;  // comes with its folder
        if (!makeFolders(bundle + "/" + parentOf(relative)))
            return refuse(bundle + "/" + parentOf(relative) + " cannot be made");
        if (!copyItem(relative, summary)) return false;
    }
    if (branded_) {
        // The icons' folders, for the branding's copies.
        std::string resources = bundle + "/Contents/Resources";
        bool uninstaller = fs::is_directory(resources + "/Uninstaller.app");
        if (!makeFolders(resources) ||
            (uninstaller && !makeFolders(resources + "/Uninstaller.app/Contents/Resources")))
            return refuse(resources + " cannot be made");
    }

    std::string root = request_.unpackRoot;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    Array deletions;
    for (const std::string& relative : deletions_) {
        deletions.emplace_back(
            Dictionary{{kFileNameKey, nameOf(relative)}, {kFolderKey, bundleFolder(relative)}});
    }
    Array copies;
    for (const std::string& relative : copies_) {
        copies.emplace_back(
            Dictionary{{kFileNameKey, nameOf(relative)},
                       {kFolderKey, bundleFolder(relative)},
                       {kSourceKey, root + "/" + kDefaultBundleName + "/" + relative}});
    }
    summary.deletions = static_cast<int>(deletions.size());
    summary.copies = static_cast<int>(copies.size());
    Dictionary description{{kApplicationNameKey, request_.name},
                           {kDeletionsKey, std::move(deletions)},
                           {kCopiesKey, std::move(copies)}};
    if (!corvant::writeDictionaryToFile(description, request_.out + "/UpdateInfo.plist"))
        return refuse(request_.out + "/UpdateInfo.plist cannot be written");
    return true;
}

// The manifest lists what was written to `out`, and its signature covers the manifest's bytes.
bool Builder::writeManifest() {
    std::optional<std::string> manifest = manifestText(request_.out, versions_, patched_, error_);
    if (!manifest) return false;
    std::string path = request_.out + "/" + kManifestName;
    if (!writeNewFile(path, *manifest, 0644)) return refuse(path + " cannot be written");
    if (request_.signingKey.empty()) return true;
    path = request_.out + "/" + kSignatureName;
    if (!writeNewFile(path, signatureText(*manifest, request_.signingKey), 0644))
        return refuse(path + " cannot be written");
    return true;
}

std::optional<UpdateSummary> Builder::build() {
    for (const std::string& bundle : {request_.oldBundle, request_.newBundle}) {
        if (auto why = whyNotABundle(bundle)) {
            refuse(*why);
            return std::nullopt;
        }
    }
    if (!readVersions()) return std::nullopt;
    corvant::Dictionary named{{kApplicationNameKey, request_.name}};
    if (!installedApplicationName(named) || !isPlainText(request_.name)) {
        refuse("\"" + request_.name + "\" cannot name an installed application");
        return std::nullopt;
    }
    if (request_.unpackRoot.empty() || request_.unpackRoot.front() != '/' ||
        !isPlainText(request_.unpackRoot)) {
        refuse("the unpack root \"" + request_.unpackRoot + "\" is not an absolute path");
        return std::nullopt;
    }
    if (!outsideTheBundles()) return std::nullopt;
    std::error_code code;
    if (fs::exists(fs::symlink_status(request_.out, code)) &&
        (!fs::is_directory(request_.out, code) || !fs::is_empty(request_.out, code))) {
        refuse(request_.out + " exists and is not an empty folder");
        return std::nullopt;
    }
    UpdateSummary summary;
    if (!walkBundle(request_.oldBundle, old_, error_, AbsentBundle::CannotBeRead) ||
        !walkBundle(request_.newBundle, new_, error_, AbsentBundle::CannotBeRead) || !compare() ||
        !prepareForBranding())
        return std::nullopt;
    const std::string made = firstMissingFolder(request_.out);
    if (!writeOut(summary) || !writeManifest()) {
        removeWhatWasMade(made);
        return std::nullopt;
    }
    return summary;
}

// The manifest binds the update to the old version, and an update only goes forward: applied to
// the newer version, it would take the installation back.
bool Builder::readVersions() {
    std::optional<std::string> from = bundleVersion(request_.oldBundle, error_);
    std::optional<std::string> to = from ? bundleVersion(request_.newBundle, error_) : std::nullopt;
    if (!to) return false;
    if (compareVersions(*to, *from) <= 0)
        return refuse(request_.newBundle + " is version " + *to + ", not newer than " +
                      request_.oldBundle + "'s version " + *from + "; an update only goes forward");
    versions_ = {*from, *to};
    return true;
}

// OUT inside a bundle would change the bundle (and ship OUT in it); a bundle inside OUT would be
// part of the update. Compared by real paths, links and ".." resolved, OUT's missing end too.
bool Builder::outsideTheBundles() {
    const std::string out = realPath(request_.out);
    for (const std::string& bundle : {request_.oldBundle, request_.newBundle}) {
        const std::string real = realPath(bundle);
        if (out == real || extendsFolder(out, real))
            return refuse(request_.out + " lies inside " + bundle +
                          "; the update is written outside both bundles");
        if (extendsFolder(real, out))
            return refuse(bundle + " lies inside " + request_.out +
                          "; the update is written outside both bundles");
    }
    return true;
}

// After a failed write: OUT as it was before, empty or not there at all, with no folder left that
// was made on the way to it, so that the next run starts afresh. Read-only folders copied from the
// new bundle are opened up first.
void Builder::removeWhatWasMade(const std::string& made) {
    std::error_code ignored;
    if (!made.empty()) {
        makeFoldersWritable(made);
        fs::remove_all(made, ignored);
        return;
    }
    for (const auto& item : fs::directory_iterator(request_.out, ignored)) {
        makeFoldersWritable(item.path().string());
        fs::remove_all(item.path(), ignored);
    }
}

}  // namespace

std::optional<UpdateSummary> makeUpdate(const UpdateRequest& request, std::string& error) {
    return Builder(request, error).build();
}

bool setBundleKey(const std::string& publicKeyPath, const std::string& bundle, std::string& error) {
    std::optional<std::string> key = readPublicKey(publicKeyPath, error);
    if (!key) return false;
    if (auto why = whyNotABundle(bundle)) {
        error = *why;
        return false;
    }
    const std::string path = bundle + "/Contents/Info.plist";
    std::optional<Dictionary> info = corvant::readDictionaryFromFile(path);
    if (!info) {
        error = path + " cannot be read as a property list";
        return false;
    }
    (*info)[kPublicKeyKey] = *key;
    if (!corvant::writeDictionaryToFile(*info, path)) {
        error = path + " cannot be written";
        return false;
    }
    return true;
}

}  // namespace ostrel
