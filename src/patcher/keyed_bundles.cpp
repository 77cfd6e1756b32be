#include "patcher/keyed_bundles.h"

#include <sys/stat.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/paths.h"
#include "patcher/branding.h"
#include "patcher/manifest.h"
#include "patcher/update_description.h"
#include "patcher/update_format.h"

namespace ostrel {

namespace fs = std::filesystem;
using corvant::Array;
using corvant::Dictionary;
using corvant::formatString;
using corvant::isInside;
using corvant::Value;

namespace {

// As many links as the system follows in one path before it gives up.
constexpr int kMaxLinks = 40;

bool lstatOf(const std::string& path, struct stat& status) {
    return ::lstat(path.c_str(), &status) == 0;
}

bool isLink(const std::string& path) {
    struct stat status {};
    return lstatOf(path, status) && S_ISLNK(status.st_mode);
}

bool isRealFolder(const std::string& path) {
    struct stat status {};
    return lstatOf(path, status) && S_ISDIR(status.st_mode);
}

std::deque<std::string> componentsOf(const std::string& path) {
    std::deque<std::string> parts;
    for (std::size_t start = 0; start < path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// `path` and every folder above it, the root left out, the deepest first.
std::vector<std::string> pathAndFoldersAbove(std::string path) {
    std::vector<std::string> paths;
    while (path.size() > 1) {
        paths.push_back(path);
        path = corvant::deletingLastPathComponent(path);
    }
    return paths;
}

// True when the tree at `path` holds a symbolic link, not following any. What the user cannot
// list, "cp" cannot copy.
bool holdsLink(const std::string& path) {
    std::error_code error;
    auto options = fs::directory_options::skip_permission_denied;
    for (fs::recursive_directory_iterator it(path, options, error), end; !error && it != end;
         it.increment(error))
        if (isLink(it->path().string())) return true;
    return false;
}

// What a step of the run puts at `destination` before later entries use it: the tree at `source`
// (a copy, or the branded rename of the downloaded executable); for a whole-application copy,
// each entry of `source` whose name does not begin with a dot.
struct Placed {
    std::string destination;
    std::string source;
    bool eachEntry = false;
};

// Paths resolved as the run will find them, entry after entry.
class Resolver {
  public:
    // Where `path` really lies; the last component is followed when it is a link only where
    // `followLast`. None with `why` when a link cannot be read or the links loop.
    std::optional<std::string> resolve(const std::string& path, bool followLast,
                                       std::string& why) const {
        return resolveWith(path, followLast, placed_.size(), why);
    }
    // Where what will stand at the resolved `path` is now: in a source that a step copies there,
    // or at `path` itself.
    std::string now(const std::string& path) const { return nowWith(path, placed_.size()); }
    bool isPlaced(const std::string& path) const { return now(path) != path; }
    void place(Placed placed) { placed_.push_back(std::move(placed)); }

  private:
    std::optional<std::string> resolveWith(const std::string& path, bool followLast,
                                           std::size_t steps, std::string& why) const;
    std::string nowWith(const std::string& path, std::size_t steps) const;

    std::vector<Placed> placed_;
};

// Links are followed where they are now; components that are not there yet stay as written, and
// ".." takes away the last component of what is resolved, which holds no link.
std::optional<std::string> Resolver::resolveWith(const std::string& path, bool followLast,
                                                 std::size_t steps, std::string& why) const {
    std::deque<std::string> pending = componentsOf(path);
    std::string resolved;
    int links = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part == ".") continue;
        if (part == "..") {
            resolved = resolved.substr(0, resolved.empty() ? 0 : resolved.rfind('/'));
            continue;
        }
        std::string next = resolved + "/" + part;
        std::string at = nowWith(next, steps);
        if ((pending.empty() && !followLast) || !isLink(at)) {
            resolved = std::move(next);
            continue;
        }
        std::error_code error;
        std::string target = fs::read_symlink(at, error).string();
        if (error || ++links > kMaxLinks) {
            why = path + " cannot be resolved: " +
                  (error ? at + " cannot be read" : std::string("too many symbolic links"));
            return std::nullopt;
        }
        std::deque<std::string> inserted = componentsOf(target);
        pending.insert(pending.begin(), inserted.begin(), inserted.end());
        if (!target.empty() && target.front() == '/') resolved.clear();
    }
    return resolved.empty() ? "/" : resolved;
}

std::string Resolver::nowWith(const std::string& path, std::size_t steps) const {
    for (std::size_t step = steps; step-- > 0;) {
        const Placed& placed = placed_[step];
        const std::string& destination = placed.destination;
        if (path != destination && !isInside(path, destination)) continue;
        std::string rest = path.substr(destination == "/" ? 0 : destination.size());
        if (!placed.eachEntry || rest.empty()) return nowWith(placed.source + rest, step);
        std::size_t slash = rest.find('/', 1);
        std::string entry = rest.substr(0, slash);
        if (entry.size() > 1 && entry[1] == '.') continue;  // left as it is
        // Each entry is named on the command line, so a link among them is copied as what it
        // names.
        std::string ignored;
        std::string from = placed.source + entry;
        from = resolveWith(from, true, step, ignored).value_or(from);
        return nowWith(from + (slash == std::string::npos ? "" : rest.substr(slash)), step);
    }
    return path;
}

class KeyedBundleGuard {
  public:
    KeyedBundleGuard(const std::string& updateFolder, const std::string& application,
                     const Dictionary& updateInfo)
        : update_(updateFolder), application_(application), updateInfo_(updateInfo) {}

    std::optional<std::string> refusal();

  private:
    bool branding();
    bool pass(bool isCopy);
    bool deletion(const UpdateEntry& entry, const std::string& label);
    bool copy(const UpdateEntry& entry, const std::string& label);
    bool mayChangeWhereItLies(const std::string& label, const std::string& target,
                              bool throughLast);
    bool mayChangeInside(const std::string& label, const std::string& folder);
    bool mayChange(const std::string& bundle, const std::function<std::string()>& reach);
    bool refuse(const std::string& why) {
        refusal_ = why;
        return false;
    }

    const std::string update_;
    const std::string application_;
    const Dictionary& updateInfo_;
    Resolver resolver_;
    // Per bundle its key and why it cannot be known; per key whether it signed the manifest.
    std::map<std::string, std::pair<std::optional<std::string>, std::string>> keys_;
    std::map<std::string, bool> signers_;
    std::optional<std::string> refusal_;
};

std::optional<std::string> KeyedBundleGuard::refusal() {
    if (isBrandedBundleName(corvant::nameOf(application_)) && !branding()) return refusal_;
    if (pass(false)) pass(true);
    return refusal_;
}

// The branding changes only the downloaded bundle, unless a link there leads elsewhere: "cp" writes
// through a link at the icon it replaces, and the rename and the Info.plist's replacement go
// through links on the way. It renames the downloaded executable before the copies.
bool KeyedBundleGuard::branding() {
    std::string name = corvant::nameOf(application_);
    name.resize(name.size() - std::string_view(".app").size());
    BrandingCommands commands = brandingCommands(update_, application_, name);
    std::vector<std::string> renaming = commands.executableName.arguments();
    const std::pair<std::string, bool> written[] = {
        {commands.icon.arguments().back(), true},
        {commands.uninstallerIcon.arguments().back(), true},
        {update_ + "/" + kDefaultBundleName + "/Contents/Info.plist", false},
        {renaming.at(0), false},
        {renaming.at(1), true}};  // "mv" moves into a folder that stands at the new name
    std::string why;
    std::optional<std::string> update = resolver_.resolve(update_, true, why);
    for (const auto& [path, throughLast] : written) {
        std::optional<std::string> target = resolver_.resolve(path, throughLast, why);
        if (!update || !target) return refuse("the branding: " + why);
        if (*target == *update || isInside(*target, *update)) continue;
        if (!mayChangeWhereItLies("the branding's change of " + path, *target, throughLast))
            return false;
    }
    std::optional<std::string> renamed = resolver_.resolve(renaming.at(1), false, why);
    std::optional<std::string> into = resolver_.resolve(renaming.at(1), true, why);
    if (!renamed || !into) return refuse("the branding: " + why);
    struct stat status {};
    if (::stat(resolver_.now(*into).c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        renamed = *into + "/" + corvant::nameOf(renaming.at(0));
    resolver_.place({*renamed, renaming.at(0)});
    return true;
}

bool KeyedBundleGuard::pass(bool isCopy) {
    const char* key = isCopy ? kCopiesKey : kDeletionsKey;
    const Array* entries = corvant::lookup(updateInfo_, key).as<Array>();
    if (entries == nullptr) return true;
    int number = 0;
    for (const Value& value : *entries) {
        // The pass stops at an entry it cannot read; the entries after it are judged all the same.
        std::string ignored;
        std::optional<UpdateEntry> entry = readUpdateEntry(value, ++number, isCopy, ignored);
        if (!entry) continue;
        std::string label = formatString("%@ entry %d (%@)", key, number, entry->actualFileName);
        if (!(isCopy ? copy(*entry, label) : deletion(*entry, label))) return false;
    }
    return true;
}

// The target an entry's commands name, as the passes form it.
std::string targetOf(const UpdateEntry& entry, const std::string& application) {
    if (entry.wholeApplication) return application;
    return targetPath(entry.filePath, entry.actualFileName,
                      isBrandedBundleName(corvant::nameOf(application)), application);
}

// "rm -Rf" removes a link at its target, not what it names; a whole-application entry goes
// through the bundle to its entries.
bool KeyedBundleGuard::deletion(const UpdateEntry& entry, const std::string& label) {
    std::string why;
    std::optional<std::string> target =
        resolver_.resolve(targetOf(entry, application_), entry.wholeApplication, why);
    if (!target) return refuse(label + ": " + why);
    return mayChangeWhereItLies(label, *target, entry.wholeApplication) &&
           mayChangeInside(label, *target);
}

// The removal before the copy clears the target as a deletion does; the copy can still write
// through a link at the target that the removal could not take away, so what the link names
// counts too.
bool KeyedBundleGuard::copy(const UpdateEntry& entry, const std::string& label) {
    std::string written = targetOf(entry, application_);
    std::string why;
    std::optional<std::string> target = resolver_.resolve(written, entry.wholeApplication, why);
    std::optional<std::string> named = resolver_.resolve(written, true, why);
    std::optional<std::string> source = resolver_.resolve(entry.unzippedFilePath, true, why);
    if (!target || !named || !source) return refuse(label + ": " + why);
    if (!mayChangeWhereItLies(label, *target, entry.wholeApplication) ||
        !mayChangeInside(label, *target) ||
        (*named != *target && !mayChangeWhereItLies(label, *named, true)))
        return false;
    // Only links that the copy brings can take a later entry elsewhere than its path says.
    if (holdsLink(resolver_.now(*source)))
        resolver_.place({*target, *source, entry.wholeApplication});
    return true;
}

// Every installed bundle that `target` is or lies in; the target itself is not one where it is a
// link that the command does not go through.
bool KeyedBundleGuard::mayChangeWhereItLies(const std::string& label, const std::string& target,
                                            bool throughLast) {
    for (const std::string& folder : pathAndFoldersAbove(target)) {
        if (folder == target && !throughLast && isLink(resolver_.now(folder))) continue;
        if (resolver_.isPlaced(folder)) continue;  // the update's own, put there by an entry before
        if (!mayChange(folder, [&] {
                return formatString("%@ reaches the bundle %@ at %@", label, folder, target);
            }))
            return false;
    }
    return true;
}

// Every installed bundle inside a folder that the entry removes. The walk costs what the removal
// does, and it looks only at what the user can list, which is all that "rm" can remove.
bool KeyedBundleGuard::mayChangeInside(const std::string& label, const std::string& folder) {
    if (resolver_.isPlaced(folder) || !isRealFolder(folder)) return true;
    std::error_code error;
    auto options = fs::directory_options::skip_permission_denied;
    for (fs::recursive_directory_iterator it(folder, options, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code ignored;
        if (!it->is_directory(ignored) || it->is_symlink(ignored)) continue;
        std::string inside = it->path().string();
        struct stat status {};
        if (!lstatOf(inside + "/Contents/Info.plist", status)) continue;
        if (!mayChange(inside, [&] {
                return formatString("%@ removes %@, which holds the bundle %@", label, folder,
                                    inside);
            }))
            return false;
    }
    return true;
}

// False, with the refusal, when `bundle` carries a key that has not signed the update's manifest
// or an Info.plist that cannot be read whole; `reach` says how the entry gets there (formed only
// then, as most targets pass).
bool KeyedBundleGuard::mayChange(const std::string& bundle,
                                 const std::function<std::string()>& reach) {
    auto [known, fresh] = keys_.try_emplace(bundle);
    if (fresh) known->second.first = bundlePublicKey(bundle, known->second.second);
    const auto& [key, why] = known->second;
    if (!why.empty()) return refuse(reach() + ", and " + why);
    if (!key) return true;
    auto [signer, asked] = signers_.try_emplace(*key);
    if (asked) signer->second = isManifestSignedBy(update_, *key);
    if (signer->second) return true;
    return refuse(formatString("%@, and the update carries no %@ signed by its %@", reach(),
                               kManifestName, kPublicKeyKey));
}

}  // namespace

std::optional<std::string> keyedBundleRefusal(const std::string& updateFolder,
                                              const std::string& installedApplication,
                                              const Dictionary& updateInfo) {
    return KeyedBundleGuard(updateFolder, installedApplication, updateInfo).refusal();
}

}  // namespace ostrel
