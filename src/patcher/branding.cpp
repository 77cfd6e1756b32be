#include "patcher/branding.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "common/format.h"
#include "common/places.h"
#include "common/plist.h"
#include "common/shell.h"
#include "patcher/update_description.h"

namespace ostrel {

using corvant::formatString;
using corvant::LogFile;
using corvant::shellEscaped;

namespace {

// The downloaded bundle always arrives under the default name, directly in the update folder.
std::string downloaded(const std::string& updateContentPath, const std::string& inside) {
    return updateContentPath + "/Solvane.app" + inside;
}

bool copyIcon(const std::string& command, const char* executingFormat, LogFile& log) {
    int result = corvant::runShellCommand(command);
    log.writeLogToFileWithInfo("DEBUG", 2, executingFormat, command);
    return result == 0;
}

BrandingResult copyIcons(const std::string& updateContentPath,
                         const std::string& installedApplicationPath, LogFile& log) {
    std::string brandedIcon =
        shellEscaped(installedApplicationPath + "/Contents/Resources/logo.icns");
    std::string iconCommand =
        formatString("cp -pHfR %@ %@", brandedIcon,
                     shellEscaped(downloaded(updateContentPath, "/Contents/Resources/logo.icns")));
    if (!copyIcon(iconCommand, "Copying branded icon, Executing %@", log))
        return BrandingResult::BrandedIcon;

    if (!corvant::fileExists(
            downloaded(updateContentPath, "/Contents/Resources/Uninstaller.app"))) {
        log.writeLogToFileWithInfo(
            "DEBUG", 1, "Uninstaller App does not exits , hence not changing the uninstaller icon");
        return BrandingResult::Success;
    }
    std::string uninstallerCommand =
        formatString("cp -pHfR %@ %@", brandedIcon,
                     shellEscaped(downloaded(updateContentPath,
                                             "/Contents/Resources/Uninstaller.app/Contents/"
                                             "Resources/UninstallerLOGO.icns")));
    if (!copyIcon(uninstallerCommand, "Copying Uninstaller branded icon, Executing %@", log))
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

bool renameExecutable(const std::string& updateContentPath,
                      const std::string& installedApplicationName, LogFile& log) {
    std::string command = formatString(
        "mv %@ %@", shellEscaped(downloaded(updateContentPath, "/Contents/MacOS/Solvane")),
        shellEscaped(downloaded(updateContentPath, "/Contents/MacOS/" + installedApplicationName)));
    log.writeLogToFileWithInfo("DEBUG", 2,
                               "Changing exec name of branded application, Executing %@", command);
    return corvant::runShellCommand(command) == 0;
}

}  // namespace

bool isBrandedBundleName(const std::string& installedBundleName) {
    return !std::equal(installedBundleName.begin(), installedBundleName.end(),
                       kDefaultBundleName.begin(), kDefaultBundleName.end(), [](char a, char b) {
                           return std::tolower(static_cast<unsigned char>(a)) ==
                                  std::tolower(static_cast<unsigned char>(b));
                       });
}

BrandingResult adaptBrandedApplication(const std::string& updateContentPath,
                                       const std::string& installedApplicationPath,
                                       const std::string& installedApplicationName, LogFile& log) {
    log.writeLogToFileWithInfo("DEBUG", 2,
                               "Branded Application found, Respective changes will start");
    BrandingResult icons = copyIcons(updateContentPath, installedApplicationPath, log);
    if (icons != BrandingResult::Success) return icons;
    if (!renameInInfoPlist(updateContentPath, installedApplicationName, log))
        return BrandingResult::InfoPlist;
    if (!renameExecutable(updateContentPath, installedApplicationName, log))
        return BrandingResult::ExecutableName;
    return BrandingResult::Success;
}

}  // namespace ostrel
