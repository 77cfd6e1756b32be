#include "patcher/branding.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "common/places.h"
#include "common/plist.h"
#include "patcher/update_description.h"
#include "patcher/update_format.h"

namespace ostrel {

using corvant::Command;
using corvant::LogFile;

namespace {

// The downloaded bundle always arrives under the default name, directly in the update folder.
std::string downloaded(const std::string& updateContentPath, const std::string& inside) {
    return updateContentPath + "/" + kDefaultBundleName + inside;
}

bool copyIcon(const Command& command, const char* executingFormat, LogFile& log) {
    int result = corvant::runCommand(command);
    log.writeLogToFileWithInfo("DEBUG", 2, executingFormat, command.text());
    return result == 0;
}

BrandingResult copyIcons(const BrandingCommands& commands, const std::string& updateContentPath,
                         LogFile& log) {
    if (!copyIcon(commands.icon, "Copying branded icon, Executing %@", log))
        return BrandingResult::BrandedIcon;
    if (!corvant::fileExists(downloadedUninstallerPath(updateContentPath))) {
        log.writeLogToFileWithInfo(
            "DEBUG", 1, "Uninstaller App does not exits , hence not changing the uninstaller icon");
        return BrandingResult::Success;
    }
    if (!copyIcon(commands.uninstallerIcon, "Copying Uninstaller branded icon, Executing %@", log))
        return BrandingResult::UninstallerIcon;
    return BrandingResult::Success;
}

// An Info.plist that cannot be read leaves nothing to write back, which fails the same way as a
// write that does not go through.
bool renameInInfoPlist(const std::string& updateContentPath,
                       const std::string& installedApplicationName, LogFile& log) {
    std::string infoPlistPath = downloaded(updateContentPath, "/Contents/Info.plist");
    std::optional<corvant::Dictionary> info = corvant::readDictionaryFromFile(infoPlistPath);
    auto described = [&] { return info ? corvant::Value(*info) : corvant::Value(); };
    log.writeLogToFileWithInfo("DEBUG", 2,
                               "Before Changing info.plist\n file path :%@ , Dict contents :%@",
                               infoPlistPath, described());
    if (info) {
        (*info)["CFBundleExecutable"] = installedApplicationName;
        (*info)["CFBundleName"] = installedApplicationName;
    }
    log.writeLogToFileWithInfo("DEBUG", 2, "After Changing info.plist\nDict contents :%@",
                               described());
    return info && corvant::writeDictionaryToFile(*info, infoPlistPath);
}

bool renameExecutable(const Command& command, LogFile& log) {
    log.writeLogToFileWithInfo(
        "DEBUG", 2, "Changing exec name of branded application, Executing %@", command.text());
    return corvant::runCommand(command) == 0;
}

}  // namespace

std::string downloadedUninstallerPath(const std::string& updateContentPath) {
    return downloaded(updateContentPath, "/Contents/Resources/Uninstaller.app");
}

BrandingCommands brandingCommands(const std::string& updateContentPath,
                                  const std::string& installedApplicationPath,
                                  const std::string& installedApplicationName) {
    std::string brandedIcon = installedApplicationPath + "/Contents/Resources/logo.icns";
    return {
        Command("cp", {"-pHfR", brandedIcon,
                       downloaded(updateContentPath, "/Contents/Resources/logo.icns")}),
        Command("cp", {"-pHfR", brandedIcon,
                       downloadedUninstallerPath(updateContentPath) +
                           "/Contents/Resources/UninstallerLOGO.icns"}),
        Command("mv",
                {downloaded(updateContentPath, "/Contents/MacOS/Solvane"),
                 downloaded(updateContentPath, "/Contents/MacOS/" + installedApplicationName)}),
    };
}

bool isBrandedBundleName(const std::string& installedBundleName) {
    const std::string_view bundleName = kDefaultBundleName;
    return !std::equal(installedBundleName.begin(), installedBundleName.end(), bundleName.begin(),
                       bundleName.end(), [](char a, char b) {
                           return std::tolower(static_cast<unsigned char>(a)) ==
                                  std::tolower(static_cast<unsigned char>(b));
                       });
}

BrandingResult adaptBrandedApplication(const std::string& updateContentPath,
                                       const std::string& installedApplicationPath,
                                       const std::string& installedApplicationName, LogFile& log) {
    log.writeLogToFileWithInfo("DEBUG", 2,
                               "Branded Application found, Respective changes will start");
    BrandingCommands commands =
        brandingCommands(updateContentPath, installedApplicationPath, installedApplicationName);
    BrandingResult icons = copyIcons(commands, updateContentPath, log);
    if (icons != BrandingResult::Success) return icons;
    if (!renameInInfoPlist(updateContentPath, installedApplicationName, log))
        return BrandingResult::InfoPlist;
    if (!renameExecutable(commands.executableName, log)) return BrandingResult::ExecutableName;
    return BrandingResult::Success;
}

}  // namespace ostrel
