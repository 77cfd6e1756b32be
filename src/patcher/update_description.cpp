#include "patcher/update_description.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>

#include "common/command.h"
#include "common/format.h"
#include "common/places.h"
#include "common/plist.h"
#include "common/regular_file.h"
#include "patcher/places.h"
#include "patcher/removal.h"
#include "patcher/update_format.h"

namespace ostrel {

using corvant::Array;
using corvant::Command;
using corvant::Dictionary;
using corvant::formatString;
using corvant::LogFile;
using corvant::Value;

namespace {

bool equalIgnoringCase(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

bool isOnlyDots(std::string_view name) {
    return !name.empty() && name.find_first_not_of('.') == std::string_view::npos;
}

bool namesABundle(const std::string& name) {
    return !name.empty() && !isOnlyDots(name) && name.find('/') == std::string::npos;
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

struct PassKind {
    const char* listKey;
    const char* listFormat;
    bool needsUnzippedPath;
};

constexpr PassKind kDeletions{kDeletionsKey, "Files to be deleted : %@", false};
constexpr PassKind kCopies{kCopiesKey, "Files to be copied : %@", true};

// The list under the pass's key, after writing it to the log. An absent key is an empty list;
// anything other than an array fails the pass rather than silently installing nothing.
std::optional<Array> takeList(const Dictionary& updateInfo, const PassKind& pass, LogFile& log) {
    const Value& list = corvant::lookup(updateInfo, pass.listKey);
    if (list.isAbsent()) {
        log.writeLogToFileWithInfo("DEBUG", 2, pass.listFormat, Value(Array{}));
        return Array{};
    }
    log.writeLogToFileWithInfo("DEBUG", 2, pass.listFormat, list);
    if (const Array* entries = list.as<Array>()) return *entries;
    log.writeLogToFileWithInfo(
        "DEBUG", 1, "%@ is not a list of entries, Hence it cannot be applied", pass.listKey);
    return std::nullopt;
}

const PassKind& passFor(bool isCopy) {
    return isCopy ? kCopies : kDeletions;
}

const std::string* requiredText(const Dictionary& entry, const char* key, const PassKind& pass,
                                int number, std::string& problem) {
    if (const std::string* text = corvant::lookup(entry, key).as<std::string>()) return text;
    problem = formatString("%@ entry %d has no text for %@, Hence it cannot be applied",
                           pass.listKey, number, key);
    return nullptr;
}

bool deleteEntry(const UpdateEntry& entry, const std::string& installedApplicationPath,
                 bool isBranded, LogFile& log) {
    Command command = deletionCommand(entry, installedApplicationPath, isBranded);
    log.writeLogToFileWithInfo("DEBUG", 2, "Executing : %@", command.text());
    return corvant::runCommand(command) == 0;
}

bool isFolder(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The items a removal command names: its words after "-Rf", with "*" expanded.
std::vector<std::string> namedItems(const Command& removal) {
    std::vector<std::string> words = removal.arguments();
    return {words.begin() + 1, words.end()};
}

// The copy goes where the pre-removal cleared the way. What it could not remove matters where the
// copy would then go into a folder that is still there (a new folder inside the old one, or merged
// with what is left of it), which "cp" reports as success; a file that "cp -f" replaces does not.
// A whole-application entry names every entry of the bundle, each with its counterpart in the
// unpacked folder.
std::optional<std::string> itemInTheWay(const UpdateEntry& entry,
                                        const std::vector<std::string>& targets) {
    for (const std::string& target : targets) {
        struct stat status {};
        if (::lstat(target.c_str(), &status) != 0) continue;
        std::string source = entry.unzippedFilePath;
        if (entry.wholeApplication)
            source += "/" + std::filesystem::path(target).filename().string();
        if (corvant::fileExists(source) && (isFolder(source) || isFolder(target))) return target;
    }
    return std::nullopt;
}

bool copyEntry(const UpdateEntry& entry, const std::string& installedApplicationPath,
               bool isBranded, LogFile& log) {
    CopyCommands commands = copyCommands(entry, installedApplicationPath, isBranded);
    // Folders that "cp -p" copied read-only keep their items from "rm -Rf".
    std::vector<std::string> targets = namedItems(commands.preRemoval);
    for (const std::string& target : targets) makeFoldersWritable(target);
    corvant::runCommand(commands.preRemoval);
    log.writeLogToFileWithInfo("DEBUG", 2, "Removing existing files before copying  : %@",
                               commands.preRemoval.text());
    if (std::optional<std::string> left = itemInTheWay(entry, targets)) {
        log.writeLogToFileWithInfo(
            "DEBUG", 1,
            "%@ is still there after the removal before copying, so the copy cannot replace it",
            *left);
        return false;
    }
    log.writeLogToFileWithInfo("DEBUG", 2, "Executing  : %@", commands.copy.text());
    return corvant::runCommand(commands.copy) == 0;
}

template <typename ApplyEntry>
bool applyPass(const Dictionary& updateInfo, const PassKind& pass, LogFile& log,
               ApplyEntry applyEntry) {
    std::optional<Array> entries = takeList(updateInfo, pass, log);
    if (!entries) return false;
    int number = 0;
    for (const Value& value : *entries) {
        std::string problem;
        std::optional<UpdateEntry> entry =
            readUpdateEntry(value, ++number, pass.needsUnzippedPath, problem);
        if (!entry) log.writeLogToFileWithInfo("DEBUG", 1, "%@", problem);
        if (!entry || !applyEntry(*entry)) return false;
    }
    return true;
}

}  // namespace

std::optional<UpdateEntry> readUpdateEntry(const Value& value, int number, bool isCopy,
                                           std::string& problem) {
    const PassKind& pass = passFor(isCopy);
    const Dictionary* entry = value.as<Dictionary>();
    if (entry == nullptr) {
        problem = formatString("%@ entry %d is not a dictionary, Hence it cannot be applied",
                               pass.listKey, number);
        return std::nullopt;
    }
    const std::string* name = requiredText(*entry, kFileNameKey, pass, number, problem);
    if (name == nullptr) return std::nullopt;
    const std::string* folder = requiredText(*entry, kFolderKey, pass, number, problem);
    if (folder == nullptr) return std::nullopt;
    UpdateEntry parsed{*name, *folder, "", isWholeApplicationEntry(*folder)};
    if (pass.needsUnzippedPath) {
        const std::string* source = requiredText(*entry, kSourceKey, pass, number, problem);
        if (source == nullptr) return std::nullopt;
        // A relative source would depend on the working folder, and one that begins with "-"
        // would reach cp as an option.
        if (source->empty() || source->front() != '/') {
            problem = formatString(
                "%@ entry %d has an unzippedFilePath that is not absolute : \"%@\", Hence it "
                "cannot be applied",
                pass.listKey, number, *source);
            return std::nullopt;
        }
        parsed.unzippedFilePath = *source;
    }
    if (parsed.wholeApplication) return parsed;
    if (parsed.filePath.empty() || parsed.filePath.front() != '/') {
        problem = formatString(
            "%@ entry %d has a filePath that is not absolute : %@, Hence it cannot be applied",
            pass.listKey, number, parsed.filePath);
        return std::nullopt;
    }
    if (parsed.actualFileName.empty() || isOnlyDots(parsed.actualFileName)) {
        problem = formatString(
            "%@ entry %d does not name an item in its folder : \"%@\", Hence it cannot be applied",
            pass.listKey, number, parsed.actualFileName);
        return std::nullopt;
    }
    return parsed;
}

Command deletionCommand(const UpdateEntry& entry, const std::string& installedApplicationPath,
                        bool isBranded) {
    // A whole-application entry empties the installed bundle: every entry inside it.
    if (entry.wholeApplication)
        return Command("rm", {"-Rf", Command::entriesOf(installedApplicationPath)});
    return Command("rm", {"-Rf", targetPath(entry.filePath, entry.actualFileName, isBranded,
                                            installedApplicationPath)});
}

CopyCommands copyCommands(const UpdateEntry& entry, const std::string& installedApplicationPath,
                          bool isBranded) {
    if (entry.wholeApplication) {
        // The unpacked folder's contents become the bundle's contents.
        std::string destination = installedApplicationPath + "/";
        return {Command("rm", {"-Rf", Command::startingWith(destination)}),
                Command("cp", {"-pHfR", Command::entriesOf(entry.unzippedFilePath), destination})};
    }
    std::string destination =
        targetPath(entry.filePath, entry.actualFileName, isBranded, installedApplicationPath);
    return {Command("rm", {"-Rf", destination}),
            Command("cp", {"-pHfR", entry.unzippedFilePath, destination})};
}

std::string tooManyEntriesLine(const std::string& file) {
    return formatString("%@ holds a list of more than %d entries, the most an update may hold",
                        file, static_cast<int>(kMaxUpdateEntries));
}

std::string tooLargeLine(const std::string& file) {
    return file + " is larger than 64 MiB, the most an update may hold";
}

bool isLargerThanPropertyListBound(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 &&
           static_cast<std::uintmax_t>(status.st_size) > corvant::kMaxPropertyListFileBytes;
}

std::optional<std::string> installedApplicationName(const Dictionary& updateInfo) {
    const std::string* name = corvant::lookup(updateInfo, kApplicationNameKey).as<std::string>();
    if (name == nullptr || !namesABundle(*name)) return std::nullopt;
    return *name;
}

std::optional<std::string> installedApplicationName(const std::string& descriptionBytes) {
    bool tooManyEntries = false;
    std::optional<std::string> name = corvant::stringInRootDictionary(
        descriptionBytes, kApplicationNameKey, kMaxUpdateEntries, tooManyEntries);
    if (!name || !namesABundle(*name)) return std::nullopt;
    return name;
}

std::optional<Dictionary> parseDescription(const std::string& descriptionBytes, std::string& why) {
    bool tooManyEntries = false;
    std::optional<Value> root =
        corvant::parsePropertyList(descriptionBytes, kMaxUpdateEntries, tooManyEntries);
    if (Dictionary* fields = root ? root->as<Dictionary>() : nullptr) return std::move(*fields);
    why = tooManyEntries ? tooManyEntriesLine("UpdateInfo.plist")
                         : "UpdateInfo.plist is not a dictionary";
    return std::nullopt;
}

std::optional<std::string> readDescriptionBytes(const std::string& path, std::string& why) {
    std::optional<std::string> bytes =
        corvant::readRegularFile(path, corvant::kMaxPropertyListFileBytes);
    if (bytes) return bytes;
    why = isLargerThanPropertyListBound(path) ? tooLargeLine("UpdateInfo.plist")
                                              : "UpdateInfo.plist is not a dictionary";
    return std::nullopt;
}

std::string whyNoApplicationName(const std::optional<std::string>& bytes, const std::string& why,
                                 std::optional<Dictionary>& updateInfo) {
    if (!bytes) return why;
    std::string unreadable;
    updateInfo = parseDescription(*bytes, unreadable);
    if (!updateInfo) return unreadable;
    return formatString(
        "UpdateInfo.plist does not name the installed application in InstalledApplicationName : %@",
        corvant::lookup(*updateInfo, kApplicationNameKey));
}

bool isWholeApplicationEntry(std::string_view filePath) {
    return equalIgnoringCase(filePath, "/Applications/");
}

std::string targetPath(const std::string& filePath, const std::string& actualFileName,
                       bool isBranded, const std::string& installedApplicationPath) {
    std::string target = appendingPathComponent(filePath, actualFileName);
    if (isBranded) replaceAll(target, kDefaultApplicationPath, installedApplicationPath);
    return target;
}

bool applyDeletions(const Dictionary& updateInfo, const std::string& installedApplicationPath,
                    bool isBranded, LogFile& log) {
    return applyPass(updateInfo, kDeletions, log, [&](const UpdateEntry& entry) {
        return deleteEntry(entry, installedApplicationPath, isBranded, log);
    });
}

bool applyCopies(const Dictionary& updateInfo, const std::string& installedApplicationPath,
                 bool isBranded, LogFile& log) {
    return applyPass(updateInfo, kCopies, log, [&](const UpdateEntry& entry) {
        return copyEntry(entry, installedApplicationPath, isBranded, log);
    });
}

}  // namespace ostrel
