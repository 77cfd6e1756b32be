// Adapting the downloaded bundle to an installation that bears a name of its own.
#pragma once

#include <string>

#include "common/log_file.h"

namespace ostrel {

// True when the installed bundle's name differs from the default one other than in case.
bool isBrandedBundleName(const std::string& installedBundleName);

enum class BrandingResult { Success, BrandedIcon, UninstallerIcon, InfoPlist, ExecutableName };

// Gives the downloaded "Solvane.app" inside the update folder the installation's icons, bundle name
// and executable name. Changes only the update folder; stops at the first failing step.
BrandingResult adaptBrandedApplication(const std::string& updateContentPath,
                                       const std::string& installedApplicationPath,
                                       const std::string& installedApplicationName,
                                       corvant::LogFile& log);

}  // namespace ostrel
