#include "patcher/backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "common/command.h"
#include "common/plist.h"
#include "patcher/removal.h"
#include "patcher/update_description.h"

namespace ostrel {

namespace fs = std::filesystem;
using corvant::Command;

namespace {

bool existsWithoutFollowing(const std::string& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

// One backup at a time: whatever stands at the path is the previous run's and goes first. What
// cannot be removed is moved aside, so that it does not block every later update. The folder is
// made without its parents, so a missing Application Support folder fails here.
bool makeFreshBackupFolder(const std::string& softwareBackupPath, corvant::LogFile& log) {
    if (existsWithoutFollowing(softwareBackupPath)) {
        makeFoldersWritable(softwareBackupPath);
        std::error_code ignored;
        fs::remove_all(softwareBackupPath, ignored);
        if (existsWithoutFollowing(softwareBackupPath)) moveAside(softwareBackupPath, log);
    }
    return ::mkdir(softwareBackupPath.c_str(), 0777) == 0;
}

}  // namespace

BackupResult backUpSoftware(const std::string& installedApplicationPath,
                            const std::string& softwareBackupPath, corvant::LogFile& log) {
    if (!makeFreshBackupFolder(softwareBackupPath, log)) return BackupResult::FolderCreationFailed;
    Command command = backupCommand(installedApplicationPath, softwareBackupPath);
    log.writeLogToFileWithInfo("DEBUG", 2, "Software backup Started\nExcecuting %@",
                               command.text());
    if (corvant::runCommand(command) != 0) return BackupResult::CopyFailed;
    return BackupResult::Success;
}

Command backupCommand(const std::string& installedApplicationPath,
                      const std::string& softwareBackupPath) {
    return Command("cp",
                   {"-pHfR", Command::entriesOf(installedApplicationPath), softwareBackupPath});
}

RestoreCommands restoreCommands(const std::string& softwareBackupPath,
                                const std::string& installedApplicationPath) {
    return {Command("rm", {"-Rf", Command::entriesOf(installedApplicationPath)}),
            Command("cp", {"-pHfR", Command::entriesOf(softwareBackupPath),
                           installedApplicationPath + "/"})};
}

bool restoreApplication(const std::string& softwareBackupPath,
                        const std::string& installedApplicationPath, corvant::LogFile& log) {
    RestoreCommands commands = restoreCommands(softwareBackupPath, installedApplicationPath);
    corvant::runCommand(commands.emptying);
    log.writeLogToFileWithInfo("DEBUG", 2, "Executing :%@", commands.copy.text());
    bool restored = corvant::runCommand(commands.copy) == 0;
    log.writeLogToFileWithInfo(
        "DEBUG", 2,
        restored ? "Software Rolled Back successfull" : "Roll back Failed,Software is useless now");
    return restored;
}

Command backupRemovalCommand(const std::string& softwareBackupPath) {
    return Command("rm", {"-Rdf", softwareBackupPath});
}

void removeBackedUpData(const std::string& softwareBackupPath, corvant::LogFile& log) {
    makeFoldersWritable(softwareBackupPath);
    Command command = backupRemovalCommand(softwareBackupPath);
    log.writeLogToFileWithInfo("DEBUG", 2, "Removing Backup Folder, Executing :%@", command.text());
    corvant::runCommand(command);
}

std::optional<std::string> moveAside(const std::string& folder, corvant::LogFile& log) {
    std::string aside = folder + ".1";
    if (existsWithoutFollowing(aside)) {
        log.writeLogToFileWithInfo(
            "DEBUG", 1, "Not moving %@ aside since %@ already holds an earlier one", folder, aside);
        return std::nullopt;
    }
    std::error_code error;
    fs::rename(folder, aside, error);
    if (error) {
        log.writeLogToFileWithInfo("DEBUG", 1, "Moving %@ aside to %@ failed : %@", folder, aside,
                                   error.message());
        return std::nullopt;
    }
    log.writeLogToFileWithInfo("DEBUG", 1, "Moved %@ aside to %@, it could not be removed", folder,
                               aside);
    return aside;
}

BundleWritability checkWritability(const std::string& bundle) {
    BundleWritability result;
    auto note = [&result](const std::string& path) {
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0) {
            result.anyWritable = true;
        } else if (!result.firstUnwritable) {
            result.firstUnwritable = path;
        }
        return result.anyWritable && result.firstUnwritable;  // nothing more to learn
    };
    if (note(bundle)) return result;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(bundle, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_symlink(ignored)) continue;
        if (note(it->path().string())) break;
    }
    return result;
}

namespace {

constexpr const char* kInstalledKey = "UpdateInstalled";

// The marker in either state: written whole or not at all, read within the bounds of every
// property list, so a reader sees the state before a change or the one after it.
bool writeMarker(const Places& places, const corvant::Dictionary& marker) {
    return corvant::writeDictionaryToFile(marker, installationInChangePath(places));
}

std::optional<corvant::Dictionary> readMarker(const Places& places) {
    return corvant::readDictionaryFromFile(installationInChangePath(places));
}

// Only an explicit true counts: a marker without the key is one of a change in progress.
bool saysInstalled(const corvant::Dictionary& marker) {
    const bool* installed = corvant::lookup(marker, kInstalledKey).as<bool>();
    return installed != nullptr && *installed;
}

// A path the marker holds, when it is an absolute one; anything else counts as not known.
std::string absolutePathAt(const corvant::Dictionary& marker, const char* key) {
    const std::string* path = corvant::lookup(marker, key).as<std::string>();
    return path != nullptr && path->rfind('/', 0) == 0 ? *path : std::string();
}

// `path` made absolute against the working folder; an empty path stays empty (no folder known).
std::string absoluteOrEmpty(const std::string& path) {
    if (path.empty()) return path;
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    return error ? std::string() : absolute.string();
}

// The same folder however it is spelt ("//", ".", a trailing slash), for a folder that may be gone.
fs::path spelledPlainly(const std::string& path) {
    fs::path plain = fs::path(path).lexically_normal();
    return plain.has_filename() || plain == plain.root_path() ? plain : plain.parent_path();
}

}  // namespace

bool markInstallationInChange(const Places& places, const std::string& installedApplicationName) {
    return writeMarker(places, {{"InstalledApplicationName", installedApplicationName}});
}

void clearInstallationInChange(const Places& places) {
    std::error_code ignored;
    fs::remove(installationInChangePath(places), ignored);
}

std::optional<std::string> interruptedInstallation(const Places& places) {
    auto marker = readMarker(places);
    if (!marker || saysInstalled(*marker)) return std::nullopt;
    return installedApplicationName(*marker);
}

bool markInstallationNew(const Places& places, const InstalledUpdate& update) {
    return writeMarker(places, {{"InstalledApplicationName", update.applicationName},
                                {kInstalledKey, true},
                                {"UpdateContentPath", absoluteOrEmpty(update.updateFolder)},
                                {"PatcherFolderPath", absoluteOrEmpty(update.patcherFolder)}});
}

std::optional<InstalledUpdate> stoppedSuccess(const Places& places) {
    auto marker = readMarker(places);
    if (!marker || !saysInstalled(*marker)) return std::nullopt;
    std::optional<std::string> name = installedApplicationName(*marker);
    if (!name) return std::nullopt;
    return InstalledUpdate{*name, absolutePathAt(*marker, "UpdateContentPath"),
                           absolutePathAt(*marker, "PatcherFolderPath")};
}

bool wasAppliedFrom(const InstalledUpdate& update, const std::string& updateFolder) {
    if (update.updateFolder.empty()) return false;
    std::string folder = absoluteOrEmpty(updateFolder);
    std::error_code ignored;
    return spelledPlainly(folder) == spelledPlainly(update.updateFolder) ||
           fs::equivalent(folder, update.updateFolder, ignored);
}

}  // namespace ostrel
