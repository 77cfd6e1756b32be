#include "patcher/backup.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "common/format.h"
#include "common/shell.h"

namespace ostrel {

using corvant::formatString;
using corvant::shellEscaped;

namespace {

// One backup at a time: whatever stands at the path is the previous run's and goes first. The
// folder is made without its parents, so a missing Application Support folder fails here.
bool makeFreshBackupFolder(const std::string& softwareBackupPath) {
    std::error_code ignored;
    std::filesystem::remove_all(softwareBackupPath, ignored);
    return ::mkdir(softwareBackupPath.c_str(), 0777) == 0;
}

}  // namespace

BackupResult backUpSoftware(const std::string& installedApplicationPath,
                            const std::string& softwareBackupPath, corvant::LogFile& log) {
    if (!makeFreshBackupFolder(softwareBackupPath)) return BackupResult::FolderCreationFailed;
    std::string command = formatString("cp -pHfR %@/* %@", shellEscaped(installedApplicationPath),
                                       shellEscaped(softwareBackupPath));
    log.writeLogToFileWithInfo("DEBUG", 2, "Software backup Started\nExcecuting %@", command);
    if (corvant::runShellCommand(command) != 0) return BackupResult::CopyFailed;
    return BackupResult::Success;
}

bool restoreApplication(const std::string& escapedBackupPath,
                        const std::string& escapedApplicationPath, corvant::LogFile& log) {
    corvant::runShellCommand(formatString("rm -Rf %@/*", escapedApplicationPath));
    std::string command =
        formatString("cp -pHfR %@/* %@/", escapedBackupPath, escapedApplicationPath);
    log.writeLogToFileWithInfo("DEBUG", 2, "Executing :%@", command);
    bool restored = corvant::runShellCommand(command) == 0;
    log.writeLogToFileWithInfo(
        "DEBUG", 2,
        restored ? "Software Rolled Back successfull" : "Roll back Failed,Software is useless now");
    return restored;
}

void removeBackedUpData(const std::string& escapedBackupPath, corvant::LogFile& log) {
    std::string command = formatString("rm -Rdf %@", escapedBackupPath);
    log.writeLogToFileWithInfo("DEBUG", 2, "Removing Backup Folder, Executing :%@", command);
    corvant::runShellCommand(command);
}

}  // namespace ostrel
