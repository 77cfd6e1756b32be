// Adapting the downloaded bundle to an installation that bears a name of its own.
#pragma once

#include <string>

#include "common/command.h"
#include "common/log_file.h"

namespace ostrel {

// True when the installed bundle's name differs from the default one other than in case.
bool isBrandedBundleName(const std::string& installedBundleName);

// The commands of the adaptation: the branded icon copied over the downloaded one and over the
// downloaded uninstaller's, and the downloaded executable renamed.
struct BrandingCommands {
    corvant::Command icon;
    corvant::Command uninstallerIcon;
    corvant::Command executableName;
};
BrandingCommands brandingCommands(const std::string& updateContentPath,
                                  const std::string& installedApplicationPath,
                                  const std::string& installedApplicationName);

// The downloaded uninstaller bundle, whose icon the adaptation replaces when it exists.
std::string downloadedUninstallerPath(const std::string& updateContentPath);

enum class BrandingResult { Success, BrandedIcon, UninstallerIcon, InfoPlist, ExecutableName };

// Gives the downloaded "Solvane.app" inside the update folder the installation's icons, bundle name
// and executable name. Changes only the update folder; stops at the first failing step.
BrandingResult adaptBrandedApplication(const std::string& updateContentPath,
                                       const std::string& installedApplicationPath,
                                       const std::string& installedApplicationName,
                                       corvant::LogFile& log);

}  // namespace ostrel
