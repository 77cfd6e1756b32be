#include "patcher/clean_up.h"

#include "common/format.h"
#include "common/plist.h"
#include "common/shell.h"

namespace ostrel {

using corvant::LogFile;

bool updateSoftwarePatcherStatus(const Places& places, bool status, LogFile& log) {
    std::string path = patcherStatusFilePath(places);
    bool written = corvant::writeDictionaryToFile({{"PatcherStatus", status}}, path);
    log.writeLogToFileWithInfo(
        "DEBUG", 2,
        written ? "Writing Pacther file to %@ succeded" : "Writing Pacther file to %@ failed",
        path);
    return written;
}

int removeDownloadedBinaries(const std::string& command, LogFile& log) {
    log.writeLogToFileWithInfo("DEBUG", 2, "Deleting the tmp folder, Executing :%@", command);
    return corvant::runShellCommand(command);
}

int launchApplication(const std::string& command, LogFile& log) {
    log.writeLogToFileWithInfo("DEBUG", 2, "Launching Application, Executing :%@", command);
    return corvant::runShellCommand(command);
}

void removeSoftwarePatcher(const std::string& escapedFolderPath, LogFile& log) {
    std::string command = corvant::formatString("rm -Rf %@", escapedFolderPath);
    log.writeLogToFileWithInfo("DEBUG", 2, "Deleting Existing Patcher Folder, Executing :%@",
                               command);
    corvant::runShellCommand(command);
}

}  // namespace ostrel
