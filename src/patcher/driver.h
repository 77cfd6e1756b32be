// One run of the software patcher, from its arguments to its exit status.
#pragma once

#include <string>
#include <vector>

#include "patcher/places.h"

namespace ostrel {

// Applies the update whose folder is `arguments[1]`; `arguments[0]` is the path the patcher was
// started by. Writes "SoftwarePatcher.log" and the status file below the home folder of `places`.
// Returns 0 after success and 1 after any failure.
int runSoftwarePatcher(const std::vector<std::string>& arguments, const Places& places);

}  // namespace ostrel
