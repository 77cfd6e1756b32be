#include "patcher/clean_up.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/plist.h"
#include "patcher/delta.h"

namespace ostrel {

using corvant::Command;
using corvant::LogFile;

bool updateSoftwarePatcherStatus(const Places& places, bool status, LogFile& log,
                                 bool deltaBaseDiffers) {
    std::string path = patcherStatusFilePath(places);
    corvant::Dictionary fields{{"PatcherStatus", status}};
    if (deltaBaseDiffers) fields[kDeltaBaseDiffersKey] = true;
    bool written = corvant::writeDictionaryToFile(fields, path);
    log.writeLogToFileWithInfo(
        "DEBUG", 2,
        written ? "Writing Pacther file to %@ succeded" : "Writing Pacther file to %@ failed",
        path);
    return written;
}

Command deleteTmpFolderCommand(const std::string& updateContentPath) {
    return Command("rm", {"-Rf", updateContentPath});
}

Command launchCommand(const std::string& installedApplicationPath) {
    return Command("open", {installedApplicationPath});
}

Command patcherFolderRemovalCommand(const std::string& patcherFolderPath) {
    return Command("rm", {"-Rf", patcherFolderPath});
}

int removeDownloadedBinaries(const Command& command, LogFile& log) {
    log.writeLogToFileWithInfo("DEBUG", 2, "Deleting the tmp folder, Executing :%@",
                               command.text());
    return corvant::runCommand(command);
}

int launchApplication(const Command& command, LogFile& log) {
    log.writeLogToFileWithInfo("DEBUG", 2, "Launching Application, Executing :%@", command.text());
    return corvant::runCommand(command);
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

void removeSoftwarePatcher(const Command& command, LogFile& log) {
    log.writeLogToFileWithInfo("DEBUG", 2, "Deleting Existing Patcher Folder, Executing :%@",
                               command.text());
    corvant::runCommand(command);
}

}  // namespace ostrel
