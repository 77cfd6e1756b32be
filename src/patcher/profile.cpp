#include "patcher/profile.h"

#include <filesystem>
#include <system_error>

#include "common/format.h"
#include "common/shell.h"

namespace ostrel {

using corvant::formatString;
using corvant::LogFile;
using corvant::shellEscaped;

namespace {

// Logs `executingFormat` with the command, runs it, and logs how it went.
bool runLogged(const std::string& command, const char* executingFormat, const char* failedText,
               const char* succeededText, LogFile& log) {
    log.writeLogToFileWithInfo("DEBUG", 2, executingFormat, command);
    bool succeeded = corvant::runShellCommand(command) == 0;
    log.writeLogToFileWithInfo("DEBUG", 2, succeeded ? succeededText : failedText);
    return succeeded;
}

}  // namespace

bool isProfileBackUpFolderPresent(const Places& places) {
    std::error_code error;
    std::filesystem::directory_iterator entries(profileBackupPath(places), error);
    if (error) return false;
    int count = 0;
    for (auto end = std::filesystem::directory_iterator(); entries != end && count <= 3;
         entries.increment(error)) {
        if (error) return false;
        ++count;
    }
    return count > 3;
}

bool restoreProfileFiles(const Places& places, LogFile& log) {
    std::string backup = shellEscaped(profileBackupPath(places));
    std::string directory = shellEscaped(userDirectoryPath(places));
    runLogged(formatString("rm -Rf %@/*", directory),
              "Removing Existing directory files- Executing :%@",
              "Removing Existing directory files failed",
              "Removing Existing directory files succeded", log);
    return runLogged(formatString("cp -pHfR %@/* %@/", backup, directory),
                     "Copying Profile Backup- Executing :%@", "Copying Profile Backup failed",
                     "Copying Profile Backup succeded", log);
}

void removeProfileBackUpFolder(const Places& places, LogFile& log) {
    runLogged(formatString("rm -Rf %@", shellEscaped(profileBackupPath(places))),
              "Removing profile BackUp Folder- Executing :%@",
              "Removing profile BackUp Folder failed", "Removing profile BackUp Folder succeded",
              log);
}

void copyBackLatestDirectoryFilesToApplication(const std::string& escapedSource,
                                               const std::string& escapedDestination,
                                               LogFile& log) {
    corvant::runShellCommand(formatString("rm -Rf %@/*", escapedDestination));
    runLogged(formatString("cp -pHfR %@/* %@/", escapedSource, escapedDestination),
              "Copying Latest Directory Files back to application, Executing :%@",
              "Copying latest Directory Files failed", "Copying latest Directory Files succeded",
              log);
}

}  // namespace ostrel
