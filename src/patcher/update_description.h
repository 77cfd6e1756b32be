// The update description ("UpdateInfo.plist"): the installed application's name and the two lists
// of items to delete from and copy into the installation.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/command.h"
#include "common/log_file.h"
#include "common/value.h"
#include "patcher/update_format.h"

namespace ostrel {

// The most entries any list (or dictionary) of an update's description or manifest may hold, the
// manifest's items included; a file past it, or past the 64 MiB of every property list, is refused
// before anything in it is used.
inline constexpr std::size_t kMaxUpdateEntries = 100000;

// The lines that refuse `file` for holding more than kMaxUpdateEntries entries in one list, and
// for being larger than the 64 MiB of every property list (as the file at `path` is).
std::string tooManyEntriesLine(const std::string& file);
std::string tooLargeLine(const std::string& file);
bool isLargerThanPropertyListBound(const std::string& path);

// The value of "InstalledApplicationName" when it can name a bundle in the applications folder;
// none when it is missing, not a string, empty, or holds a slash or only dots.
std::optional<std::string> installedApplicationName(const corvant::Dictionary& updateInfo);

// The same, read from the description's bytes without converting anything else of them: what a
// run needs to find the installation before anything vouches for the rest.
std::optional<std::string> installedApplicationName(const std::string& descriptionBytes);

// The description read from its bytes within the bounds; none after setting `why` to one line.
std::optional<corvant::Dictionary> parseDescription(const std::string& descriptionBytes,
                                                    std::string& why);

// The bytes of the description at `path`, within the 64 MiB of every property list; none after
// setting `why` to one line when the file is larger or cannot be read.
std::optional<std::string> readDescriptionBytes(const std::string& path, std::string& why);

// Why a description (`bytes` as read, with `why` from the read when they are none) names no
// installation, as one line; `updateInfo` is the description where it can be parsed.
std::string whyNoApplicationName(const std::optional<std::string>& bytes, const std::string& why,
                                 std::optional<corvant::Dictionary>& updateInfo);

// A "filePath" of "/Applications/" (any case, slash included) stands for the whole application.
bool isWholeApplicationEntry(std::string_view filePath);

// Where an entry that is not a whole-application entry lands: "filePath" joined with
// "ActualFileName"; for a branded installation the default bundle's path is replaced by the
// installed one (case-sensitive).
std::string targetPath(const std::string& filePath, const std::string& actualFileName,
                       bool isBranded, const std::string& installedApplicationPath);

// One entry of either list, as read from the description.
struct UpdateEntry {
    std::string actualFileName;
    std::string filePath;
    std::string unzippedFilePath;  // copies only
    bool wholeApplication = false;
};

// Reads entry `number` (counted from 1) of "toBeCopied" (`isCopy`) or "toBeDeleted". Refuses,
// setting `problem` to a line that names the entry and says why, anything that would make a
// command act on something other than one named item: an entry that is not a dictionary or lacks
// a string, a relative folder or source, and a name that is empty or only dots (which would name
// the folder itself or its parent).
std::optional<UpdateEntry> readUpdateEntry(const corvant::Value& value, int number, bool isCopy,
                                           std::string& problem);

// The command that applies a deletion entry, and the two (pre-removal, copy) of a copy entry.
corvant::Command deletionCommand(const UpdateEntry& entry,
                                 const std::string& installedApplicationPath, bool isBranded);
struct CopyCommands {
    corvant::Command preRemoval;
    corvant::Command copy;
};
CopyCommands copyCommands(const UpdateEntry& entry, const std::string& installedApplicationPath,
                          bool isBranded);

// The two passes. Each applies its list in order and stops at the first entry that cannot be
// applied or whose command fails, returning false; true when every entry was applied. Both log
// every command they run.
bool applyDeletions(const corvant::Dictionary& updateInfo,
                    const std::string& installedApplicationPath, bool isBranded,
                    corvant::LogFile& log);
bool applyCopies(const corvant::Dictionary& updateInfo, const std::string& installedApplicationPath,
                 bool isBranded, corvant::LogFile& log);

}  // namespace ostrel
