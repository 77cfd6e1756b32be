#include "patcher/clean_up.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

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

std::vector<std::string> bundleOpenFolders() {
    std::vector<std::string> folders = {OSTREL_BUNDLE_OPEN_FOLDER, OSTREL_PACKAGED_OPEN_FOLDER};
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) folders.push_back((self.parent_path().parent_path() / "kelvorn").string());
    return folders;
}

void putBundleOpenFirstOnPath(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        if (folder.empty() || ::access((folder + "/open").c_str(), X_OK) != 0) continue;
        std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
        if (path == folder || path.rfind(folder + ":", 0) == 0) return;  // first already
        ::setenv("PATH", (path.empty() ? folder : folder + ":" + path).c_str(), 1);
        return;
    }
}

void removeSoftwarePatcher(const std::string& escapedFolderPath, LogFile& log) {
    std::string command = corvant::formatString("rm -Rf %@", escapedFolderPath);
    log.writeLogToFileWithInfo("DEBUG", 2, "Deleting Existing Patcher Folder, Executing :%@",
                               command);
    corvant::runShellCommand(command);
}

}  // namespace ostrel
