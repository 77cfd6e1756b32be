// A patch run staged in a private root: an installed application, the user's files, an unpacked
// update, and the real Ostrel in a folder of its own.
#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "common/value.h"
#include "private_root.h"

namespace ostrel_test {

inline constexpr const char* kSupport = "/Users/tester/Library/Application Support/Corvant";
inline constexpr const char* kUserDirectory =
    "/Users/tester/Library/Application Support/Corvant/Solvane/Directory";
inline constexpr const char* kProfileBackup =
    "/Users/tester/Library/Application Support/Corvant/ProfileBackup";
inline constexpr const char* kSoftwareBackup =
    "/Users/tester/Library/Application Support/Corvant/SoftwareBackup";
inline constexpr const char* kFrameworkDirectory =
    "/Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/Directory";

// One update entry: "ActualFileName", "filePath" and, for copies, "unzippedFilePath".
corvant::Value entry(const std::string& actualFileName, const std::string& filePath,
                     const std::string& unzippedFilePath = "");

class PatchScenario {
  public:
    PatchScenario();

    testing_support::PrivateRoot& root() { return root_; }
    std::filesystem::path host(const std::string& insidePath) const {
        return root_.host(insidePath);
    }

    // An installed bundle /Applications/<name>.app with an Info.plist, an executable, a logo, an
    // uninstaller with its logo, and directory files in its framework.
    void installApplication(const std::string& name);
    // The user's directory files and the folders of the maker's Application Support.
    void addUserDirectoryFiles();
    // A profile backup holding `names` (files whose content is their name).
    void addProfileBackup(const std::vector<std::string>& names);

    // Unpacks an update into `folder`: a downloaded "Solvane.app" with the default names, and an
    // "UpdateInfo.plist" that names `installedName` and holds the given lists (left out when none).
    void stageUpdate(const std::string& folder, const std::string& installedName,
                     std::optional<corvant::Array> toBeDeleted,
                     std::optional<corvant::Array> toBeCopied);
    // Writes raw text as the update's description.
    void writeDescription(const std::string& folder, const std::string& text);

    // Copies the built Ostrel to `insidePath` (a folder of its own by default) and runs it there.
    testing_support::PrivateRoot::Result run(
        const std::vector<std::string>& arguments,
        const std::map<std::string, std::string>& environment = {});
    // Puts the patcher at `insidePath`, started by that path or by `startedAs`.
    void placePatcherAt(const std::string& insidePath, const std::string& startedAs = "") {
        patcherPath_ = insidePath;
        startedAs_ = startedAs;
    }
    const std::string& patcherPath() const { return patcherPath_; }

    // The log's messages in order; a message that spans lines keeps its line breaks.
    std::string logText() const;
    std::vector<std::pair<std::string, std::string>> logLines() const;  // level name, message
    std::vector<std::string> messages() const;
    bool logged(const std::string& message) const;
    // Which clean-up steps ran, in order, named by the log lines that show them.
    std::vector<std::string> cleanUpTrail() const;
    // The status file's "PatcherStatus"; none when the file is missing or holds anything else.
    std::optional<bool> status() const;

    bool exists(const std::string& insidePath) const;
    std::string read(const std::string& insidePath) const;
    void write(const std::string& insidePath, const std::string& content);

  private:
    testing_support::PrivateRoot root_;
    std::string patcherPath_ = "/Users/tester/Library/Caches/Ostrel/Ostrel";
    std::string startedAs_;
};

// What a bundle holds, item by item: kind, permission bits and bytes or link target.
std::map<std::string, std::string> snapshot(const std::filesystem::path& bundle);

// The update content folder the scenarios hand to the patcher.
inline constexpr const char* kUpdate = "/Users/tester/Downloads/Update 1";

// Names each table row by its name in test output. Table rows live in each test file's unnamed
// namespace, so the printer is declared there too, where argument-dependent lookup finds it.
namespace {
template <typename Case>
requires requires(const Case& row) {
    row.name;
}
void PrintTo(const Case& row, std::ostream* out) {
    *out << row.name;
}
}  // namespace

}  // namespace ostrel_test
