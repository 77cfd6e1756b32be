#include "patcher/run_start.h"

#include <filesystem>
#include <system_error>

#include "common/places.h"
#include "patcher/backup.h"
#include "patcher/branding.h"
#include "patcher/update_description.h"
#include "patcher/update_format.h"

namespace ostrel {

std::optional<InterruptedRun> findInterruptedRun(const Places& places) {
    std::optional<std::string> name = interruptedInstallation(places);
    if (!name) return std::nullopt;
    InterruptedRun run{places.applicationsFolder + "/" + *name + ".app",
                       softwareBackupPath(places)};
    std::error_code ignored;
    run.backupHoldsEntries = std::filesystem::is_directory(run.backup, ignored) &&
                             !std::filesystem::is_empty(run.backup, ignored);
    return run;
}

FoundDescription findDescription(const std::string& updateFolder, const Places& places) {
    FoundDescription found;
    found.path = updateFolder + "/" + kDescriptionName;
    found.present = corvant::fileExists(found.path);
    if (!found.present) return found;
    found.bytes = readDescriptionBytes(found.path, found.unreadable);
    std::optional<std::string> name =
        found.bytes ? installedApplicationName(*found.bytes) : std::nullopt;
    if (name)
        found.installation =
            NamedInstallation{*name, places.applicationsFolder + "/" + *name + ".app",
                              isBrandedBundleName(*name + ".app")};
    return found;
}

}  // namespace ostrel
