#include "patch_scenario.h"

#include <sys/stat.h>

#include <sstream>

#include "common/plist.h"

namespace ostrel_test {

namespace fs = std::filesystem;
using corvant::Array;
using corvant::Dictionary;
using corvant::Value;

Value entry(const std::string& actualFileName, const std::string& filePath,
            const std::string& unzippedFilePath) {
    Dictionary fields{{"ActualFileName", actualFileName}, {"filePath", filePath}};
    if (!unzippedFilePath.empty()) fields["unzippedFilePath"] = unzippedFilePath;
    return fields;
}

PatchScenario::PatchScenario() {
    fs::create_directories(host(kSupport));
    // An "open" installed on the host would come first on the patcher's PATH, ahead of the stub.
    if (fs::exists(OSTREL_BUNDLE_OPEN_FOLDER)) root_.bindFolder(OSTREL_BUNDLE_OPEN_FOLDER);
}

namespace {

void makeBundle(const PatchScenario& scenario, const std::string& bundle,
                const std::string& executable, const std::string& marker) {
    Dictionary info{{"CFBundleExecutable", executable},
                    {"CFBundleName", executable},
                    {"CFBundleIdentifier", "com.Corvant.Solvane"}};
    fs::create_directories(scenario.host(bundle + "/Contents"));
    corvant::writeDictionaryToFile(info, scenario.host(bundle + "/Contents/Info.plist"));
    testing_support::writeFile(scenario.host(bundle + "/Contents/MacOS/" + executable),
                               "executable " + marker);
    testing_support::writeFile(scenario.host(bundle + "/Contents/Resources/logo.icns"),
                               "logo " + marker + std::string("\0\x01\xff", 3));
    testing_support::writeFile(
        scenario.host(bundle + "/Contents/Resources/Uninstaller.app/Contents/Resources/"
                               "UninstallerLOGO.icns"),
        "uninstaller logo " + marker);
    testing_support::writeFile(scenario.host(bundle + kFrameworkDirectory + "/installer.ini"),
                               "ApplicationName=" + marker + "\n");
}

}  // namespace

void PatchScenario::installApplication(const std::string& name) {
    makeBundle(*this, "/Applications/" + name + ".app", name, "installed");
}

void PatchScenario::addUserDirectoryFiles() {
    write(std::string(kUserDirectory) + "/installer.ini", "ApplicationName=user\n");
    write(std::string(kUserDirectory) + "/profile.dat", "user profile");
}

void PatchScenario::addProfileBackup(const std::vector<std::string>& names) {
    fs::create_directories(host(kProfileBackup));
    for (const std::string& name : names) write(std::string(kProfileBackup) + "/" + name, name);
}

void PatchScenario::stageUpdate(const std::string& folder, const std::string& installedName,
                                std::optional<Array> toBeDeleted, std::optional<Array> toBeCopied) {
    makeBundle(*this, folder + "/Solvane.app", "Solvane", "downloaded");
    Dictionary description{{"InstalledApplicationName", installedName}};
    fs::create_directories(host(folder));
    if (toBeDeleted) description["toBeDeleted"] = *toBeDeleted;
    if (toBeCopied) description["toBeCopied"] = *toBeCopied;
    corvant::writeDictionaryToFile(description, host(folder + "/UpdateInfo.plist"));
}

void PatchScenario::writeDescription(const std::string& folder, const std::string& text) {
    write(folder + "/UpdateInfo.plist", text);
}

testing_support::PrivateRoot::Result PatchScenario::run(
    const std::vector<std::string>& arguments,
    const std::map<std::string, std::string>& environment) {
    root_.install(OSTREL_EXECUTABLE, patcherPath_);
    std::vector<std::string> command = {startedAs_.empty() ? patcherPath_ : startedAs_};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return root_.run(command, environment);
}

std::string PatchScenario::logText() const {
    return read(std::string(kSupport) + "/Solvane/SoftwarePatcher.log");
}

std::vector<std::pair<std::string, std::string>> PatchScenario::logLines() const {
    std::vector<std::pair<std::string, std::string>> lines;
    std::istringstream text(logText());
    for (std::string line; std::getline(text, line);) {
        auto levelEnd = line.find("] [");
        auto messageStart = line.find("] : ");
        if (line.rfind('[', 0) == 0 && levelEnd != std::string::npos &&
            messageStart != std::string::npos) {
            lines.emplace_back(line.substr(1, levelEnd - 1), line.substr(messageStart + 4));
        } else if (!lines.empty()) {
            lines.back().second += "\n" + line;
        }
    }
    return lines;
}

std::vector<std::string> PatchScenario::messages() const {
    std::vector<std::string> texts;
    for (const auto& line : logLines()) texts.push_back(line.second);
    return texts;
}

bool PatchScenario::logged(const std::string& message) const {
    for (const std::string& text : messages())
        if (text == message) return true;
    return false;
}

std::vector<std::string> PatchScenario::cleanUpTrail() const {
    static const std::vector<std::pair<std::string, std::string>> markers = {
        {"Software Rolled Back successfull", "roll back"},
        {"Roll back Failed,Software is useless now", "roll back"},
        {"Deleting the tmp folder, Executing :", "remove update"},
        {"Removing Backup Folder, Executing :", "remove backup"},
        {"Removing Existing directory files- Executing :", "restore profile"},
        {"Removing profile BackUp Folder- Executing :", "remove profile backup"},
        {"Writing Pacther file to ", "status"},
        {"Launching Application, Executing :", "launch"},
        {"Copying Latest Directory Files back to application, Executing :", "copy directory"},
        {"Deleting Existing Patcher Folder, Executing :", "remove patcher"},
        {"************************Software Patching Completed Successfully", "completed"},
    };
    std::vector<std::string> trail;
    for (const std::string& text : messages())
        for (const auto& [prefix, name] : markers)
            if (text.rfind(prefix, 0) == 0) trail.push_back(name);
    return trail;
}

std::optional<bool> PatchScenario::status() const {
    auto file = corvant::readDictionaryFromFile(
        host(std::string(kSupport) + "/PatcherStatusFile.plist").string());
    if (!file || file->size() != 1) return std::nullopt;
    const bool* flag = corvant::lookup(*file, "PatcherStatus").as<bool>();
    return flag ? std::optional<bool>(*flag) : std::nullopt;
}

bool PatchScenario::exists(const std::string& insidePath) const {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(host(insidePath), ignored));
}

std::string PatchScenario::read(const std::string& insidePath) const {
    return testing_support::readFile(host(insidePath));
}

void PatchScenario::write(const std::string& insidePath, const std::string& content) {
    testing_support::writeFile(host(insidePath), content);
}

std::map<std::string, std::string> snapshot(const fs::path& bundle) {
    std::map<std::string, std::string> items;
    for (auto it = fs::recursive_directory_iterator(bundle);
         it != fs::recursive_directory_iterator(); ++it) {
        struct stat status {};
        ::lstat(it->path().c_str(), &status);
        std::ostringstream item;
        item << std::oct << (status.st_mode & 07777) << " ";
        if (S_ISLNK(status.st_mode))
            item << "link " << fs::read_symlink(it->path()).string();
        else if (S_ISDIR(status.st_mode))
            item << "folder";
        else
            item << "file " << testing_support::readFile(it->path());
        items[it->path().lexically_relative(bundle).string()] = item.str();
    }
    return items;
}

}  // namespace ostrel_test
