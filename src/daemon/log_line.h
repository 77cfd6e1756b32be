// How the daemon's parts hand lines to its log without holding it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/value.h"

namespace kelvorn {

// Takes one line: its tag, level, "%@" format and the format's arguments.
using LogLine = std::function<void(const char* tag, int level, const char* format,
                                   const std::vector<corvant::Value>& arguments)>;

// An optional text as a value: absent when there is none, so that "%@" prints "(null)".
inline corvant::Value optionalText(const std::optional<std::string>& text) {
    return text ? corvant::Value(*text) : corvant::Value();
}

}  // namespace kelvorn
