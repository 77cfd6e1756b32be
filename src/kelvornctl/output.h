// What kelvornctl prints: JSON for scripts, aligned columns for people.
#pragma once

#include <string>
#include <vector>

#include "common/value.h"

namespace kelvornctl {

// A JSON text: strings escaped, integers and reals as numbers, booleans, arrays, objects; an
// absent value is null. Dates and data print as their description, a string.
std::string toJson(const corvant::Value& value);

// Rows of cells, the first row the heading, each column as wide as its widest cell.
std::string table(const std::vector<std::vector<std::string>>& rows);

// A value as a table cell: strings as they are, numbers in decimal, absent as "-".
std::string cell(const corvant::Value& value);

}  // namespace kelvornctl
