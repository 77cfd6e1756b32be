#include "patcher/check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>

#include "common/format.h"
#include "common/paths.h"
#include "common/places.h"
#include "common/plist.h"
#include "patcher/backup.h"
#include "patcher/branding.h"
#include "patcher/delta.h"
#include "patcher/endings.h"
#include "patcher/manifest.h"
#include "patcher/profile.h"
#include "patcher/removal.h"
#include "patcher/run_start.h"
#include "patcher/update_description.h"
#include "patcher/update_format.h"

namespace ostrel {

namespace fs = std::filesystem;
using corvant::Array;
using corvant::Command;
using corvant::formatString;
using corvant::isInside;
using corvant::Value;

namespace {

bool isDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool existsWithoutFollowing(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

bool isWritableFolder(const std::string& path) {
    return ::access(path.c_str(), W_OK | X_OK) == 0;
}

// Why the run could not have a writable folder at `folder`, or nothing when it could. The run's
// log makes the maker's folder before the backup is made: any missing folder above it is created,
// and an item of another kind standing there is first moved aside to `folder`.org. So a folder the
// run would create is judged by its nearest existing ancestor.
std::optional<std::string> whyFolderCannotBeMade(const std::string& folder) {
    if (isDirectory(folder)) {
        if (isWritableFolder(folder)) return std::nullopt;
        return folder + " is not writable by the user";
    }
    std::string parent = deletingLastPathComponent(folder);
    if (existsWithoutFollowing(folder)) {
        if (existsWithoutFollowing(folder + ".org"))
            return folder + " is not a folder, and " + folder + ".org, where it would be moved " +
                   "aside, is taken";
    } else {
        while (!parent.empty() && parent != "/" && !existsWithoutFollowing(parent))
            parent = deletingLastPathComponent(parent);
    }
    if (parent.empty()) parent = ".";
    if (isDirectory(parent) && isWritableFolder(parent)) return std::nullopt;
    return "nothing can be made in " + parent + ", it is not a folder the user can write into";
}

// Bytes that a copy of `path` takes on disk. Sets `unreadable` to the first item below it that
// the user cannot read, which would fail a copy.
std::uintmax_t diskUsage(const std::string& path, std::string& unreadable) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return 0;
    std::uintmax_t bytes = static_cast<std::uintmax_t>(status.st_blocks) * 512;
    if (S_ISLNK(status.st_mode)) return bytes;
    bool isFolder = S_ISDIR(status.st_mode);
    if (::access(path.c_str(), isFolder ? R_OK | X_OK : R_OK) != 0) {
        if (unreadable.empty()) unreadable = path;
        return bytes;
    }
    if (!isFolder) return bytes;
    std::error_code error;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error))
        bytes += diskUsage(it->path().string(), unreadable);
    return bytes;
}

std::string inMegabytes(std::uintmax_t bytes) {
    return formatString("%.1f MB", static_cast<double>(bytes) / 1e6);
}

// What the deletions and copies before an entry have made of the installation: each one removes
// or makes a path, so that a later entry's folder can be judged as the run would find it.
struct Change {
    bool removes;
    std::string path;
    std::string source;  // a copy's source: what now stands at `path`
};

class Checker {
  public:
    Checker(const std::string& patcherPath, const std::string& updateFolder, const Places& places)
        : places_(places),
          update_(withoutLeadingDash(updateFolder)),
          patcherFolder_(withoutLeadingDash(deletingLastPathComponent(patcherPath))) {}

    CheckReport check();

  private:
    void problem(const std::string& text) { report_.problems.push_back(text); }
    void note(const std::string& text) { report_.notes.push_back(text); }
    void plan(const Command& command) { report_.plan.push_back(command); }

    bool stoppedSuccess();
    void interruptedRun();
    bool description();
    bool manifest();
    void patchedFiles();
    void installation();
    void branding();
    void pass(bool isCopy);
    void deletion(const UpdateEntry& entry, const std::string& label);
    void copy(const UpdateEntry& entry, const std::string& label);
    // Whether a folder stands at `folder` when the entry after the changes so far runs, and
    // whether the user can write into it.
    std::optional<bool> folderWritable(const std::string& folder) const;
    std::optional<std::string> unremovableTarget(const Command& removal) const;
    void successEnding(const CleanUpFacts& facts);
    void profileBackupNote(bool removed);
    bool sourceExists(const std::string& source) const;
    bool madeByPatch(const std::string& path) const;

    const Places& places_;
    const std::string update_;
    const std::string patcherFolder_;
    corvant::Dictionary updateInfo_;
    std::vector<PatchedFile> patches_;
    std::set<std::string> patchedPlaces_;  // where the run makes them, resolved
    std::string descriptionBytes_;
    std::string name_;
    std::string application_;
    bool isBranded_ = false;
    std::vector<Change> changes_;
    CheckReport report_;
};

CheckReport Checker::check() {
    if (stoppedSuccess()) return report_;
    interruptedRun();
    if (!description()) return report_;
    bool described = manifest();
    patchedFiles();
    installation();
    if (isBranded_) branding();
    if (described) {
        pass(false);
        pass(true);
    }
    // The run got this far: the description names the application and nothing was rolled back.
    successEnding({.places = places_,
                   .updateFolder = update_,
                   .patcherFolder = patcherFolder_,
                   .application = application_,
                   .backup = softwareBackupPath(places_),
                   .isUpdate = true});
    return report_;
}

// A run that finds an earlier run's success stopped in its clean-up finishes that ending and does
// nothing else, so the update checked is applied only when it is the one that run installed.
bool Checker::stoppedSuccess() {
    std::optional<InstalledUpdate> installed = ostrel::stoppedSuccess(places_);
    if (!installed) return false;
    CleanUpFacts facts = stoppedSuccessFacts(places_, *installed);
    note("an earlier run installed the update into " + facts.application +
         " and was stopped before its clean-up was done; a run first finishes that success "
         "ending, and does nothing else");
    if (!wasAppliedFrom(*installed, update_))
        problem("a run would only finish the earlier run's update; " + update_ +
                " is not applied before the run after it");
    successEnding(facts);
    return true;
}

void Checker::interruptedRun() {
    std::optional<InterruptedRun> interrupted = findInterruptedRun(places_);
    if (!interrupted) return;
    note("an earlier run was stopped while changing " + interrupted->application +
         "; a run first restores it from " + interrupted->backup);
    if (!interrupted->backupHoldsEntries) return;
    RestoreCommands commands = restoreCommands(interrupted->backup, interrupted->application);
    plan(commands.emptying);
    plan(commands.copy);
}

// As a run reads the description: only its name, until the manifest's verdicts allow the rest.
bool Checker::description() {
    FoundDescription found = findDescription(update_, places_);
    if (!found.present) {
        problem("UpdateInfo.plist missing at " + found.path);
        return false;
    }
    if (!found.installation) {
        std::optional<corvant::Dictionary> ignored;
        // The line begins with the file's name, which the check gives as its whole path.
        std::string why = whyNoApplicationName(found.bytes, found.unreadable, ignored);
        problem(found.path + why.substr(std::string_view(kDescriptionName).size()));
        return false;
    }
    descriptionBytes_ = std::move(*found.bytes);
    name_ = found.installation->name;
    application_ = found.installation->application;
    isBranded_ = found.installation->isBranded;
    return true;
}

// The manifest's and the signature's verdicts, as a run reaches them before its backup. False when
// the description's lists cannot be judged: refused before it was parsed, or unparsable.
bool Checker::manifest() {
    UpdateVerification verification = verifyUpdate(update_, application_, descriptionBytes_);
    for (const std::string& verdict : verification.verdicts) note(verdict);
    if (verification.refusal) problem("the update would be refused: " + *verification.refusal);
    if (!verification.updateInfo) return false;
    updateInfo_ = std::move(*verification.updateInfo);
    if (!verification.refusal) patches_ = std::move(verification.patches);
    return true;
}

// A delta update's files, as the run makes them before its backup: each base, each patch decoded
// without writing, and the room the results need.
void Checker::patchedFiles() {
    if (patches_.empty()) return;
    for (const PatchedFile& file : patches_) {
        std::error_code error;
        fs::path place = fs::weakly_canonical(bundleOf(update_) + "/" + file.path, error);
        if (!error) patchedPlaces_.insert(place.string());
    }
    DeltaPreview preview = previewPatches(update_, application_, patches_);
    for (const std::string& line : preview.notes) note(line);
    for (const std::string& line : preview.refusals)
        problem("the update would be refused: " + line);
}

// The installed bundle and its backup: the bundle must be there and readable, the backup's folder
// makeable, and its file system must have room for a copy of the bundle.
void Checker::installation() {
    if (!isDirectory(application_))
        problem("the installed application " + application_ + " is not there");
    std::string backup = softwareBackupPath(places_);
    std::string support = makerSupportFolder(places_);
    if (auto why = whyFolderCannotBeMade(support))
        problem("the backup folder " + backup + " cannot be made: " + *why);
    std::string unreadable;
    std::uintmax_t needed = diskUsage(application_, unreadable);
    if (!unreadable.empty())
        problem("the backup would fail: " + unreadable + " cannot be read by the user");
    std::string ignored;
    std::uintmax_t oldBackup = diskUsage(backup, ignored);  // removed before the new one is made
    std::optional<std::uintmax_t> available = freeBytes(backup);
    if (available && *available + oldBackup < needed)
        problem("no room for the backup: " + application_ + " takes " + inMegabytes(needed) +
                ", the file system of " + backup + " has " + inMegabytes(*available + oldBackup));
    plan(backupCommand(application_, backup));
}

void Checker::branding() {
    std::string logo = application_ + "/Contents/Resources/logo.icns";
    if (!corvant::fileExists(logo)) problem("the branded icon " + logo + " is missing");
    BrandingCommands commands = brandingCommands(update_, application_, name_);
    plan(commands.icon);
    if (corvant::fileExists(downloadedUninstallerPath(update_)))
        plan(commands.uninstallerIcon);
    else
        note("the update has no " + downloadedUninstallerPath(update_) +
             ", so its icon is not changed");
    std::string info = update_ + "/" + kDefaultBundleName + "/Contents/Info.plist";
    if (!madeByPatch(info) && !corvant::readDictionaryFromFile(info))
        problem(info + " cannot be read as a dictionary");
    std::string executable = update_ + "/" + kDefaultBundleName + "/Contents/MacOS/Solvane";
    if (!existsWithoutFollowing(executable) && !madeByPatch(executable))
        problem("the executable " + executable + " is missing");
    plan(commands.executableName);
}

void Checker::pass(bool isCopy) {
    const char* key = isCopy ? kCopiesKey : kDeletionsKey;
    const Value& list = corvant::lookup(updateInfo_, key);
    if (list.isAbsent()) return;
    const Array* entries = list.as<Array>();
    if (entries == nullptr) {
        problem(formatString("%@ is not a list of entries, Hence it cannot be applied", key));
        return;
    }
    int number = 0;
    for (const Value& value : *entries) {
        std::string reason;
        std::optional<UpdateEntry> entry = readUpdateEntry(value, ++number, isCopy, reason);
        if (!entry) {
            problem(reason);
            continue;
        }
        std::string label = formatString("%@ entry %d (%@)", key, number, entry->actualFileName);
        if (isCopy)
            copy(*entry, label);
        else
            deletion(*entry, label);
    }
}

// A branded run renames the downloaded executable before the copies, and a delta update's run
// makes its patched files before them, so a copy's source is judged by what stands there then.
bool Checker::sourceExists(const std::string& source) const {
    std::string executables = update_ + "/" + kDefaultBundleName + "/Contents/MacOS/";
    if (isBranded_ && source == executables + "Solvane") return false;
    if (isBranded_ && source == executables + name_)
        return corvant::fileExists(executables + "Solvane") || madeByPatch(executables + "Solvane");
    return corvant::fileExists(source) || madeByPatch(source);
}

// A delta update's patched files are missing from its bundle until the run makes them, before
// the branding and the copies. Paths are compared resolved as far as they exist, so that any
// spelling of the same place counts.
bool Checker::madeByPatch(const std::string& path) const {
    if (patchedPlaces_.empty()) return false;
    std::error_code error;
    const fs::path place = fs::weakly_canonical(path, error);
    return !error && patchedPlaces_.count(place.string()) != 0;
}

std::optional<bool> Checker::folderWritable(const std::string& folder) const {
    for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
        bool decides = folder == change->path || isInside(folder, change->path);
        if (!decides) continue;
        if (change->removes) return std::nullopt;
        // A copy made the folder when its source holds a folder at the same place.
        std::string inSource = change->source + folder.substr(change->path.size());
        if (!isDirectory(inSource)) return std::nullopt;
        return true;
    }
    if (!isDirectory(folder)) return std::nullopt;
    return isWritableFolder(folder);
}

void Checker::deletion(const UpdateEntry& entry, const std::string& label) {
    if (entry.wholeApplication) {
        changes_.push_back({true, application_ + "/", ""});
        if (!isWritableFolder(application_))
            problem(label + ": " + application_ +
                    " cannot be emptied: it is not writable by the "
                    "user");
    } else {
        std::string target =
            targetPath(entry.filePath, entry.actualFileName, isBranded_, application_);
        std::string folder = deletingLastPathComponent(target);
        std::optional<bool> writable = folderWritable(folder);
        if (writable && !*writable && existsWithoutFollowing(target))
            problem(label + ": " + target + " cannot be deleted: its folder " + folder +
                    " is not writable by the user");
        changes_.push_back({true, target, ""});
    }
    plan(deletionCommand(entry, application_, isBranded_));
}

void Checker::copy(const UpdateEntry& entry, const std::string& label) {
    std::string source = entry.unzippedFilePath;
    std::string target = entry.wholeApplication ? application_ + "/"
                                                : targetPath(entry.filePath, entry.actualFileName,
                                                             isBranded_, application_);
    if (entry.wholeApplication) {
        std::optional<std::vector<std::string>> names = directoryEntryNames(source);
        bool anyVisible = false;
        for (const std::string& name : names.value_or(std::vector<std::string>{}))
            anyVisible = anyVisible || name.front() != '.';
        if (!anyVisible) problem(label + ": the source " + source + " holds nothing to copy");
    } else if (!sourceExists(source)) {
        problem(label + ": the source " + source + " is missing");
    }
    std::string unreadable;
    diskUsage(source, unreadable);
    if (!unreadable.empty()) problem(label + ": " + unreadable + " cannot be read by the user");
    std::string folder = entry.wholeApplication ? application_ : deletingLastPathComponent(target);
    std::optional<bool> writable = folderWritable(folder);
    CopyCommands commands = copyCommands(entry, application_, isBranded_);
    if (!writable)
        problem(label + ": the folder " + folder + " of " + target + " is missing");
    else if (!*writable)
        problem(label + ": the folder " + folder + " is not writable by the user");
    else if (std::optional<std::string> stuck = unremovableTarget(commands.preRemoval))
        problem(label + ": " + *stuck + " cannot be removed by the user, so " + target +
                " cannot be replaced");
    plan(commands.preRemoval);
    plan(commands.copy);
    changes_.push_back({false, target, entry.wholeApplication ? source + "/" : source});
}

// The first item below what the removal before a copy names (as the installation stands now) that
// the user cannot remove even with the folders opened up; an item an earlier entry of the run
// removes or replaces is left out.
std::optional<std::string> Checker::unremovableTarget(const Command& removal) const {
    std::vector<std::string> words = removal.arguments();
    for (auto target = words.begin() + 1; target != words.end(); ++target) {
        bool changedBefore = std::any_of(changes_.begin(), changes_.end(), [&](const Change& c) {
            return *target == c.path || isInside(*target, c.path);
        });
        if (changedBefore) continue;
        if (std::optional<std::string> stuck = firstUnremovableItem(*target)) return stuck;
    }
    return std::nullopt;
}

// The success ending's commands, in the order of its clean-up steps, and the notes on the folders
// and files it keeps.
void Checker::successEnding(const CleanUpFacts& facts) {
    for (CleanUp step : planFor(Ending::Success).cleanUp) {
        CleanUpDecision decision = decideCleanUp(step, facts);
        for (const Command& command : decision.commands) plan(command);
        switch (step) {
            case CleanUp::RemoveUpdateFolder:
                if (decision.keptBecause)
                    note("the update folder " + facts.updateFolder + " is kept since " +
                         *decision.keptBecause);
                break;
            case CleanUp::CopyBackDirectoryFiles:
                if (decision.commands.empty())
                    note("no directory files at " + userDirectoryPath(places_) +
                         ", the application's are kept");
                break;
            case CleanUp::RemovePatcherFolder:
                if (decision.keptBecause)
                    note("the patcher folder " + facts.patcherFolder + " is kept since " +
                         *decision.keptBecause);
                break;
            case CleanUp::RemoveProfileBackupIfPresent:
                profileBackupNote(!decision.commands.empty());
                break;
            case CleanUp::RollBack:
            case CleanUp::RemoveBackup:
            case CleanUp::ProfileRestore:
            case CleanUp::StatusFalse:
            case CleanUp::StatusTrue:
            case CleanUp::Launch:
            case CleanUp::CompletionLine:
                break;  // nothing kept that is worth a note
        }
    }
}

// How many entries the profile backup holds, and whether that is enough for the run to use it.
void Checker::profileBackupNote(bool removed) {
    std::string backup = profileBackupPath(places_);
    std::optional<std::vector<std::string>> entries = directoryEntryNames(backup);
    if (!entries) return;
    int count = static_cast<int>(entries->size());
    if (removed)
        note(
            formatString("the profile backup %@ holds %d entries: removed after success, "
                         "restored after a failure",
                         backup, count));
    else
        note(formatString("the profile backup %@ holds only %d entries and is left alone", backup,
                          count));
}

}  // namespace

CheckReport checkUpdate(const std::string& patcherPath, const std::string& updateFolder,
                        const Places& places) {
    return Checker(patcherPath, updateFolder, places).check();
}

int runCheck(const std::string& patcherPath, const std::string& updateFolder,
             const Places& places) {
    CheckReport report = checkUpdate(patcherPath, updateFolder, places);
    for (const std::string& problem : report.problems)
        std::fprintf(stderr, "Ostrel: %s\n", problem.c_str());
    for (const std::string& note : report.notes) std::printf("note: %s\n", note.c_str());
    std::printf("plan:\n");
    for (const Command& command : report.plan) std::printf("%s\n", command.text().c_str());
    if (report.problems.empty())
        std::printf("verdict: a run would apply the update\n");
    else
        std::printf("verdict: a run would not apply the update (%zu problems)\n",
                    report.problems.size());
    std::fflush(stdout);
    return report.problems.empty() ? 0 : 1;
}

}  // namespace ostrel
