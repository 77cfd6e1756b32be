// Whether a folder the run is about to remove belongs to the run, or holds things it does not own.
#pragma once

#include <optional>
#include <string>

#include "patcher/places.h"

namespace ostrel {

// Why `folder` must be kept, or none when removing it as a whole destroys nothing but what the run
// was given. Kept are: no folder at all, the root, system folders, the home folder's standard
// folders, any folder that is or holds the home folder, the applications folder, the installed
// application (when known), the user's directory files or the status file, and any folder inside
// the installed application.
// Paths are compared after resolving "..", relative parts and symbolic links.
std::optional<std::string> reasonToKeepFolder(const std::string& folder, const Places& places,
                                              const std::string& installedApplicationPath);

// The same for the folder that holds the patcher, which must in addition lie outside the trees
// the system's packages own (/usr, /opt, /etc, /var and the like): a package's folder is the
// package manager's to remove.
std::optional<std::string> reasonToKeepPatcherFolder(const std::string& folder,
                                                     const Places& places,
                                                     const std::string& installedApplicationPath);

}  // namespace ostrel
