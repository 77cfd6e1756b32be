// What kelvornctl prints and how: JSON for scripts, aligned columns for people, standard output
// and the complaints on standard error.
#pragma once

#include <string>
#include <vector>

#include "common/value.h"

namespace kelvornctl {

// Short: one line. Pretty: an item per line, indented by two spaces a level.
enum class JsonStyle { Short, Pretty };

// A JSON text: strings escaped, integers and reals as numbers, booleans, arrays, objects; an
// absent value is null. Dates and data print as their description, a string.
std::string toJson(const corvant::Value& value, JsonStyle style = JsonStyle::Short);

// Text for a terminal: what would be a control character to it (C0, DEL, and C1 as UTF-8 writes
// them) is escaped as JSON escapes it ("\u001b", "\n"); the rest is kept.
std::string escapeControls(const std::string& text);

// Rows of cells, the first row the heading, each column as wide as its widest cell.
std::string table(const std::vector<std::vector<std::string>>& rows);

// A value as a table cell: strings as they are but for control characters, escaped as JSON
// escapes them (C1 controls and DEL too), numbers in decimal, absent and empty as "-".
std::string cell(const corvant::Value& value);

// A card list's key path as printed: its keys joined by "/".
std::string keyPathText(const std::vector<std::string>& keys);

// The local date and time now, as a monitor line begins ("2026-12-08 17:36:52").
std::string localTime();

// Writes `text` to standard output: 0, or kExitFindings when it could not be written.
int print(const std::string& text);

// One line on standard error, "kelvornctl: <message>".
void complain(const std::string& message);

}  // namespace kelvornctl
