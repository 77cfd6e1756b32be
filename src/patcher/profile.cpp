#include "patcher/profile.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "common/format.h"
#include "common/shell.h"

namespace ostrel {

namespace fs = std::filesystem;
using corvant::formatString;
using corvant::LogFile;
using corvant::shellEscaped;

namespace {

// The log lines around one copy command.
struct CopyTexts {
    const char* executingFormat;
    const char* failedText;
    const char* succeededText;
};

constexpr CopyTexts kProfileCopy{"Copying Profile Backup- Executing :%@",
                                 "Copying Profile Backup failed",
                                 "Copying Profile Backup succeded"};
constexpr CopyTexts kDirectoryCopy{
    "Copying Latest Directory Files back to application, Executing :%@",
    "Copying latest Directory Files failed", "Copying latest Directory Files succeded"};

// Logs `executingFormat` with the command, runs it, and logs how it went.
bool runLogged(const std::string& command, const char* executingFormat, const char* failedText,
               const char* succeededText, LogFile& log) {
    log.writeLogToFileWithInfo("DEBUG", 2, executingFormat, command);
    bool succeeded = corvant::runShellCommand(command) == 0;
    log.writeLogToFileWithInfo("DEBUG", 2, succeeded ? succeededText : failedText);
    return succeeded;
}

bool runLogged(const std::string& command, const CopyTexts& texts, LogFile& log) {
    return runLogged(command, texts.executingFormat, texts.failedText, texts.succeededText, log);
}

// The names of the entries of `folder`; none when it cannot be listed.
std::optional<std::vector<std::string>> entryNames(const std::string& folder) {
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error) return std::nullopt;
    std::vector<std::string> names;
    for (auto end = fs::directory_iterator(); entries != end; entries.increment(error)) {
        if (error) return std::nullopt;
        names.push_back(entries->path().filename().string());
    }
    return names;
}

bool isHidden(const std::string& name) {
    return name.front() == '.';
}

bool existsIn(const std::string& folder, const std::string& name) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(fs::path(folder) / name, ignored));
}

// Copies every entry of `source` into `destination`: the visible ones by the one "cp %@/* %@/"
// command, the hidden ones, which "*" leaves out, by one command each. True when every command
// worked and every entry of `source` now stands in `destination`.
bool copyEveryEntry(const std::string& source, const std::string& destination,
                    const CopyTexts& texts, LogFile& log) {
    std::string escapedDestination = shellEscaped(destination);
    std::string copyVisible =
        formatString("cp -pHfR %@/* %@/", shellEscaped(source), escapedDestination);
    std::optional<std::vector<std::string>> names = entryNames(source);
    if (!names) {
        runLogged(copyVisible, texts, log);
        return false;  // nothing can tell whether the copy is whole
    }
    bool copied = true;
    if (std::any_of(names->begin(), names->end(), [](const auto& n) { return !isHidden(n); }))
        copied = runLogged(copyVisible, texts, log);
    for (const std::string& name : *names) {
        if (!isHidden(name)) continue;
        std::string entry = shellEscaped((fs::path(source) / name).string());
        copied =
            runLogged(formatString("cp -pHfR %@ %@/", entry, escapedDestination), texts, log) &&
            copied;
    }
    return copied && std::all_of(names->begin(), names->end(), [&](const std::string& name) {
               return existsIn(destination, name);
           });
}

}  // namespace

bool isProfileBackUpFolderPresent(const Places& places) {
    std::error_code error;
    fs::directory_iterator entries(profileBackupPath(places), error);
    if (error) return false;
    int count = 0;
    for (auto end = fs::directory_iterator(); entries != end && count <= 3;
         entries.increment(error)) {
        if (error) return false;
        ++count;
    }
    return count > 3;
}

bool restoreProfileFiles(const Places& places, LogFile& log) {
    std::string directory = userDirectoryPath(places);
    runLogged(formatString("rm -Rf %@/*", shellEscaped(directory)),
              "Removing Existing directory files- Executing :%@",
              "Removing Existing directory files failed",
              "Removing Existing directory files succeded", log);
    return copyEveryEntry(profileBackupPath(places), directory, kProfileCopy, log);
}

void removeProfileBackUpFolder(const Places& places, LogFile& log) {
    runLogged(formatString("rm -Rf %@", shellEscaped(profileBackupPath(places))),
              "Removing profile BackUp Folder- Executing :%@",
              "Removing profile BackUp Folder failed", "Removing profile BackUp Folder succeded",
              log);
}

bool hasDirectoryFiles(const Places& places) {
    std::optional<std::vector<std::string>> names = entryNames(userDirectoryPath(places));
    return names && !names->empty();
}

void copyBackLatestDirectoryFilesToApplication(const std::string& source,
                                               const std::string& destination, LogFile& log) {
    corvant::runShellCommand(formatString("rm -Rf %@/*", shellEscaped(destination)));
    copyEveryEntry(source, destination, kDirectoryCopy, log);
}

}  // namespace ostrel
