#include "patcher/profile.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "common/command.h"

namespace ostrel {

namespace fs = std::filesystem;
using corvant::Command;
using corvant::LogFile;

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
bool runLogged(const Command& command, const char* executingFormat, const char* failedText,
               const char* succeededText, LogFile& log) {
    log.writeLogToFileWithInfo("DEBUG", 2, executingFormat, command.text());
    bool succeeded = corvant::runCommand(command) == 0;
    log.writeLogToFileWithInfo("DEBUG", 2, succeeded ? succeededText : failedText);
    return succeeded;
}

bool runLogged(const Command& command, const CopyTexts& texts, LogFile& log) {
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

// Copies every entry of `source` into `destination` (see entryCopyCommands). True when every
// command worked and every entry of `source` now stands in `destination`.
bool copyEveryEntry(const std::string& source, const std::string& destination,
                    const CopyTexts& texts, LogFile& log) {
    std::optional<std::vector<std::string>> names = entryNames(source);
    if (!names) {
        runLogged(Command("cp", {"-pHfR", Command::entriesOf(source), destination + "/"}), texts,
                  log);
        return false;  // nothing can tell whether the copy is whole
    }
    bool copied = true;
    for (const Command& command : entryCopyCommands(source, destination, *names))
        copied = runLogged(command, texts, log) && copied;
    return copied && std::all_of(names->begin(), names->end(), [&](const std::string& name) {
               return existsIn(destination, name);
           });
}

}  // namespace

std::vector<Command> entryCopyCommands(const std::string& source, const std::string& destination,
                                       const std::vector<std::string>& names) {
    std::vector<Command> commands;
    if (std::any_of(names.begin(), names.end(), [](const auto& n) { return !isHidden(n); }))
        commands.emplace_back("cp", std::vector<corvant::CommandWord>{
                                        "-pHfR", Command::entriesOf(source), destination + "/"});
    for (const std::string& name : names) {
        if (isHidden(name))
            commands.emplace_back(
                "cp", std::vector<corvant::CommandWord>{"-pHfR", (fs::path(source) / name).string(),
                                                        destination + "/"});
    }
    return commands;
}

Command directoryEmptyingCommand(const std::string& folder) {
    return Command("rm", {"-Rf", Command::entriesOf(folder)});
}

Command profileBackupRemovalCommand(const Places& places) {
    return Command("rm", {"-Rf", profileBackupPath(places)});
}

std::optional<std::vector<std::string>> directoryEntryNames(const std::string& folder) {
    return entryNames(folder);
}

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
    runLogged(directoryEmptyingCommand(directory),
              "Removing Existing directory files- Executing :%@",
              "Removing Existing directory files failed",
              "Removing Existing directory files succeded", log);
    return copyEveryEntry(profileBackupPath(places), directory, kProfileCopy, log);
}

void removeProfileBackUpFolder(const Places& places, LogFile& log) {
    runLogged(profileBackupRemovalCommand(places), "Removing profile BackUp Folder- Executing :%@",
              "Removing profile BackUp Folder failed", "Removing profile BackUp Folder succeded",
              log);
}

bool hasDirectoryFiles(const Places& places) {
    std::optional<std::vector<std::string>> names = entryNames(userDirectoryPath(places));
    return names && std::any_of(names->begin(), names->end(),
                                [](const std::string& name) { return !isHidden(name); });
}

void copyBackLatestDirectoryFilesToApplication(const std::string& source,
                                               const std::string& destination, LogFile& log) {
    corvant::runCommand(directoryEmptyingCommand(destination));
    copyEveryEntry(source, destination, kDirectoryCopy, log);
}

}  // namespace ostrel
