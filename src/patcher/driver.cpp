#include "patcher/driver.h"

#include <cstdio>
#include <memory>
#include <optional>

#include "common/command.h"
#include "common/format.h"
#include "common/log_file.h"
#include "common/places.h"
#include "common/plist.h"
#include "patcher/backup.h"
#include "patcher/branding.h"
#include "patcher/clean_up.h"
#include "patcher/delta.h"
#include "patcher/endings.h"
#include "patcher/manifest.h"
#include "patcher/profile.h"
#include "patcher/run_start.h"
#include "patcher/update_description.h"

namespace ostrel {

using corvant::LogFile;
using corvant::Value;

namespace {

Ending endingForBackup(BackupResult result) {
    switch (result) {
        case BackupResult::FolderCreationFailed:
            return Ending::BackupFolder;
        case BackupResult::CopyFailed:
            return Ending::BackupCopy;
        case BackupResult::Success:
            break;
    }
    return Ending::Success;
}

Ending endingForBranding(BrandingResult result) {
    switch (result) {
        case BrandingResult::BrandedIcon:
            return Ending::BrandedIcon;
        case BrandingResult::UninstallerIcon:
            return Ending::UninstallerIcon;
        case BrandingResult::InfoPlist:
            return Ending::InfoPlist;
        case BrandingResult::ExecutableName:
            return Ending::ExecutableName;
        case BrandingResult::Success:
            break;
    }
    return Ending::Success;
}

// The values one run forms once and hands to its steps and its clean-up.
class PatchRun {
  public:
    PatchRun(const Places& places, LogFile& log) : places_(places), log_(log) {}

    // Runs the steps in order until one of them decides how the run ends.
    Ending applyUpdate(const std::vector<std::string>& arguments);
    // Announces the ending and runs its clean-up; returns the exit status.
    int finish(Ending ending);
    // The update folder the run was given and left as it was, having finished an earlier one.
    const std::string& unappliedUpdate() const { return unappliedUpdate_; }

  private:
    bool finishStoppedSuccess(const std::vector<std::string>& arguments);
    void undoInterruptedRun();
    void recordInstallationNew();
    bool readDescription();
    bool nameApplication();
    bool verifyManifest();
    bool makePatchedFiles();
    void showDescription(const std::optional<corvant::Dictionary>& updateInfo);
    CleanUpFacts facts() const;
    void perform(CleanUp step);
    bool keeps(const CleanUpDecision& decision, const char* format, const std::string& folder);
    void rollBack(const CleanUpDecision& decision);
    void restoreProfile();

    const Places& places_;
    LogFile& log_;

    std::string patcherFolderPath_;
    std::string updateContentPath_;
    FoundDescription description_;  // its bytes read once, checked and parsed from there
    std::optional<corvant::Dictionary> updateInfo_;
    std::vector<PatchedFile> patches_;  // a delta update's files still to be made
    std::string installedApplicationName_;
    std::string installedApplicationPath_;
    std::string softwareBackupPath_;
    bool isBranded_ = false;
    bool isUpdate_ = false;          // the folder holds a description that names the application
    bool backupIsLastCopy_ = false;  // an interrupted run's backup could not be put back
    bool rolledBack_ = true;
    bool bundleUnchangeable_ = false;  // nothing in the installed bundle can be written
    bool deltaBaseDiffers_ = false;    // a delta update was refused for the installation's files
    std::string unappliedUpdate_;
};

Ending PatchRun::applyUpdate(const std::vector<std::string>& arguments) {
    if (finishStoppedSuccess(arguments)) return Ending::Success;
    undoInterruptedRun();
    if (arguments.size() < 2) return Ending::NoArgument;
    log_.writeLogToFileWithInfo("DEBUG", 2, "Parameters Passed During Launch :%@",
                                corvant::Array(arguments.begin(), arguments.end()));
    patcherFolderPath_ = withoutLeadingDash(deletingLastPathComponent(arguments[0]));
    updateContentPath_ = withoutLeadingDash(arguments[1]);
    if (!readDescription() || !nameApplication()) return Ending::NoDescription;
    isUpdate_ = true;
    if (!verifyManifest() || !makePatchedFiles()) return Ending::Refused;

    softwareBackupPath_ = softwareBackupPath(places_);
    if (backupIsLastCopy_) return Ending::BackupFolder;
    Ending backup =
        endingForBackup(backUpSoftware(installedApplicationPath_, softwareBackupPath_, log_));
    if (backup != Ending::Success) return backup;
    if (isBranded_) {
        Ending branding = endingForBranding(adaptBrandedApplication(
            updateContentPath_, installedApplicationPath_, installedApplicationName_, log_));
        if (branding != Ending::Success) return branding;
    }
    BundleWritability writability = checkWritability(installedApplicationPath_);
    if (writability.firstUnwritable)
        log_.writeLogToFileWithInfo("DEBUG", 1,
                                    "The installed application %@ cannot be written by this user, "
                                    "starting with %@",
                                    installedApplicationPath_, *writability.firstUnwritable);
    bundleUnchangeable_ = !writability.anyWritable;
    if (!bundleUnchangeable_ && !markInstallationInChange(places_, installedApplicationName_))
        log_.writeLogToFileWithInfo("DEBUG", 1,
                                    "Writing %@ failed, a run stopped from here on cannot be "
                                    "undone by the next one",
                                    installationInChangePath(places_));
    if (!applyDeletions(*updateInfo_, installedApplicationPath_, isBranded_, log_))
        return Ending::Deletion;
    if (!applyCopies(*updateInfo_, installedApplicationPath_, isBranded_, log_))
        return Ending::Copy;
    recordInstallationNew();
    return Ending::Success;
}

// A run stopped in the success ending's clean-up leaves the application whole and new, and the
// record saying so. Finish that ending, and only that: the update folder this run was given, when
// it is another one, is left as it is for a run of its own, since this run's status file and
// launch are those of the finished update.
bool PatchRun::finishStoppedSuccess(const std::vector<std::string>& arguments) {
    std::optional<InstalledUpdate> installed = stoppedSuccess(places_);
    if (!installed) return false;
    CleanUpFacts facts = stoppedSuccessFacts(places_, *installed);
    updateContentPath_ = facts.updateFolder;
    patcherFolderPath_ = facts.patcherFolder;
    installedApplicationPath_ = facts.application;
    softwareBackupPath_ = facts.backup;
    isUpdate_ = true;
    log_.writeLogToFileWithInfo("DEBUG", 1,
                                "An earlier run installed the update into %@ and was stopped "
                                "before its clean-up was done, finishing it first",
                                installedApplicationPath_);
    if (arguments.size() >= 2 && !wasAppliedFrom(*installed, withoutLeadingDash(arguments[1]))) {
        unappliedUpdate_ = arguments[1];
        log_.writeLogToFileWithInfo("DEBUG", 1,
                                    "The update in %@ is not applied by this run, start the "
                                    "patcher with it again",
                                    unappliedUpdate_);
    }
    return true;
}

// A run stopped while its deletions and copies changed the application (killed, or a failed roll
// back) leaves it part old, part new, and leaves the backup as the last whole copy. Put that copy
// back before anything else; where that is not possible, keep the backup under a name of its own,
// so that this run's backup does not replace it.
void PatchRun::undoInterruptedRun() {
    std::optional<InterruptedRun> interrupted = findInterruptedRun(places_);
    if (!interrupted) return;
    log_.writeLogToFileWithInfo("DEBUG", 1,
                                "An earlier run was stopped while changing %@, restoring it from "
                                "%@ first",
                                interrupted->application, interrupted->backup);
    if (!interrupted->backupHoldsEntries) {
        log_.writeLogToFileWithInfo("DEBUG", 1, "There is no backup at %@ to restore from",
                                    interrupted->backup);
    } else if (!restoreApplication(interrupted->backup, interrupted->application, log_) &&
               !moveAside(interrupted->backup, log_)) {
        backupIsLastCopy_ = true;  // the marker stays, and this run makes no backup of its own
        return;
    }
    clearInstallationInChange(places_);
}

// From here on the application is the new version: a run stopped in the clean-up is finished by
// the next one rather than rolled back. The record replaces the in-progress marker in one step.
void PatchRun::recordInstallationNew() {
    if (markInstallationNew(places_,
                            {installedApplicationName_, updateContentPath_, patcherFolderPath_}))
        return;
    log_.writeLogToFileWithInfo("DEBUG", 1,
                                "Writing %@ failed, a run stopped from here on is not finished by "
                                "the next one",
                                installationInChangePath(places_));
    clearInstallationInChange(places_);
}

// False when there is no description file. Its bytes are read here once; what is parsed of them,
// and when, is for the steps below.
bool PatchRun::readDescription() {
    description_ = findDescription(updateContentPath_, places_);
    log_.writeLogToFileWithInfo("DEBUG", 2, "Update Dictionary Path : %@", description_.path);
    if (!description_.present) showDescription(std::nullopt);
    return description_.present;
}

// Only the name is read before the installation is known. A description that does not name the
// application leaves the run as helpless as a missing one; nothing then vouches for it or needs
// to, and it is shown whole before the line that says why.
bool PatchRun::nameApplication() {
    if (!description_.installation) {
        std::optional<corvant::Dictionary> updateInfo;
        std::string why =
            whyNoApplicationName(description_.bytes, description_.unreadable, updateInfo);
        showDescription(updateInfo);
        log_.writeLogToFileWithInfo("DEBUG", 1, "%@", why);
        return false;
    }
    installedApplicationName_ = description_.installation->name;
    installedApplicationPath_ = description_.installation->application;
    isBranded_ = description_.installation->isBranded;
    return true;
}

// An update that carries a manifest, or that the installed application's key requires to, is
// applied only when its bundle and description are exactly what the manifest lists. Without a key
// the description is shown as soon as it is parsed, before the verdicts, as it always was; with
// one, only once the signed manifest has vouched for it, so an unsigned one is never shown.
bool PatchRun::verifyManifest() {
    UpdateVerification verification =
        verifyUpdate(updateContentPath_, installedApplicationPath_, *description_.bytes);
    if (!verification.keyed) showDescription(verification.updateInfo);
    if (verification.refusal) {
        log_.writeLogToFileWithInfo("DEBUG", 1, "Update refused, Hence Patching failed : %@",
                                    *verification.refusal);
        return false;
    }
    for (const std::string& verdict : verification.verdicts)
        log_.writeLogToFileWithInfo("DEBUG", 2, "Update check : %@", verdict);
    if (verification.keyed) showDescription(verification.updateInfo);
    updateInfo_ = std::move(verification.updateInfo);
    patches_ = std::move(verification.patches);
    return true;
}

// A delta update's files are made from the installed ones into the update's own bundle before
// anything changes; a file that cannot be made refuses the update as its manifest would.
bool PatchRun::makePatchedFiles() {
    if (patches_.empty()) return true;
    if (std::optional<DeltaRefusal> refusal =
            applyPatches(updateContentPath_, installedApplicationPath_, patches_)) {
        log_.writeLogToFileWithInfo("DEBUG", 1, "Update refused, Hence Patching failed : %@",
                                    refusal->line);
        deltaBaseDiffers_ = refusal->baseDiffers;
        return false;
    }
    log_.writeLogToFileWithInfo("DEBUG", 2, "Made %d patched files of the update from %@",
                                static_cast<int>(patches_.size()), installedApplicationPath_);
    return true;
}

void PatchRun::showDescription(const std::optional<corvant::Dictionary>& updateInfo) {
    log_.writeLogToFileWithInfo("DEBUG", 2, "Update Dictionary Contents : %@",
                                updateInfo ? Value(*updateInfo) : Value());
}

int PatchRun::finish(Ending ending) {
    const EndingPlan& plan = planFor(ending);
    if (plan.announcement != nullptr)
        log_.writeLogToFileWithInfo("DEBUG", plan.level, plan.announcement);
    for (CleanUp step : plan.cleanUp) perform(step);
    if (ending == Ending::Success) clearInstallationInChange(places_);  // the ending is complete
    return plan.exitStatus;
}

CleanUpFacts PatchRun::facts() const {
    return {.places = places_,
            .updateFolder = updateContentPath_,
            .patcherFolder = patcherFolderPath_,
            .application = installedApplicationPath_,
            .backup = softwareBackupPath_,
            .isUpdate = isUpdate_,
            .rolledBack = rolledBack_,
            .bundleUnchangeable = bundleUnchangeable_};
}

void PatchRun::perform(CleanUp step) {
    CleanUpDecision decision = decideCleanUp(step, facts());
    switch (step) {
        case CleanUp::RollBack:
            return rollBack(decision);
        case CleanUp::RemoveUpdateFolder:
            if (!keeps(decision, "Not removing the update folder %@ since %@", updateContentPath_))
                removeDownloadedBinaries(decision.commands.front(), log_);
            return;
        case CleanUp::RemoveBackup:
            if (!keeps(decision, "Keeping Backup Folder %@ since %@", softwareBackupPath_))
                removeBackedUpData(softwareBackupPath_, log_);
            return;
        case CleanUp::ProfileRestore:
            if (!decision.commands.empty()) restoreProfile();
            return;
        case CleanUp::StatusFalse:
            updateSoftwarePatcherStatus(places_, false, log_, deltaBaseDiffers_);
            return;
        case CleanUp::StatusTrue:
            updateSoftwarePatcherStatus(places_, true, log_);
            return;
        case CleanUp::Launch:
            launchApplication(decision.commands.front(), log_);
            return;
        case CleanUp::CopyBackDirectoryFiles:
            if (decision.commands.empty())
                log_.writeLogToFileWithInfo("DEBUG", 1,
                                            "No directory files at %@, keeping those of the "
                                            "application",
                                            userDirectoryPath(places_));
            else
                copyBackLatestDirectoryFilesToApplication(
                    userDirectoryPath(places_), applicationDirectoryPath(installedApplicationPath_),
                    log_);
            return;
        case CleanUp::RemovePatcherFolder:
            if (!keeps(decision, "Not removing the patcher folder %@ since %@", patcherFolderPath_))
                removeSoftwarePatcher(decision.commands.front(), log_);
            return;
        case CleanUp::RemoveProfileBackupIfPresent:
            if (!decision.commands.empty()) removeProfileBackUpFolder(places_, log_);
            return;
        case CleanUp::CompletionLine:
            log_.writeLogToFileWithInfo("DEBUG", 2,
                                        "************************Software Patching Completed "
                                        "Successfully************************");
            return;
    }
}

// Logs `format` with `folder` and the reason when the step keeps its folder.
bool PatchRun::keeps(const CleanUpDecision& decision, const char* format,
                     const std::string& folder) {
    if (!decision.keptBecause) return false;
    log_.writeLogToFileWithInfo("DEBUG", 1, format, folder, *decision.keptBecause);
    return true;
}

void PatchRun::rollBack(const CleanUpDecision& decision) {
    if (decision.commands.empty()) {
        log_.writeLogToFileWithInfo("DEBUG", 2, "Nothing to roll back, %@ could not be changed",
                                    installedApplicationPath_);
        rolledBack_ = true;
    } else {
        rolledBack_ = restoreApplication(softwareBackupPath_, installedApplicationPath_, log_);
    }
    if (rolledBack_) clearInstallationInChange(places_);
}

// The profile backup goes only once its files are back in place; otherwise it is all that is left
// of them.
void PatchRun::restoreProfile() {
    if (restoreProfileFiles(places_, log_)) {
        removeProfileBackUpFolder(places_, log_);
        return;
    }
    log_.writeLogToFileWithInfo("DEBUG", 1,
                                "Keeping profile BackUp Folder %@ since its files could not be "
                                "copied back",
                                profileBackupPath(places_));
}

}  // namespace

int runSoftwarePatcher(const std::vector<std::string>& arguments, const Places& places) {
    putBundleOpenFirstOnPath(bundleOpenFolders());
    LogFile::Places logPlaces;
    logPlaces.userApplicationSupport = places.homeFolder + "/Library/Application Support";
    std::unique_ptr<LogFile> log =
        LogFile::initWithFile(LogFile::Variant::Patcher, "SoftwarePatcher.log", 2, logPlaces);
    log->writeLogToFileWithInfo(
        "DEBUG", 2, "**********************Software Pathcer Started**********************");
    PatchRun run(places, *log);
    Ending ending = run.applyUpdate(arguments);
    int exitStatus = run.finish(ending);
    std::string logPath =
        log->path().value_or(makerSupportFolder(places) + "/Solvane/SoftwarePatcher.log");
    log.reset();  // closes the log before the process ends
    if (ending == Ending::NoArgument)
        std::fprintf(stderr, "usage: Ostrel <update content folder> (log: %s)\n", logPath.c_str());
    else if (exitStatus != 0)
        std::fprintf(stderr, "Ostrel: the update was not installed, see %s\n", logPath.c_str());
    else if (!run.unappliedUpdate().empty())
        std::fprintf(stderr,
                     "Ostrel: finished the update an earlier run had installed; %s was not "
                     "applied, start Ostrel with it again\n",
                     run.unappliedUpdate().c_str());
    return exitStatus;
}

}  // namespace ostrel
