// Property-list files, read as dictionaries and written as XML, on libplist.
#pragma once

#include <optional>
#include <string>

#include "common/value.h"

namespace corvant {

// Reads an XML or binary property list whose root is a dictionary. None for a missing file,
// content that is not a property list, or a root of another kind.
std::optional<Dictionary> readDictionaryFromFile(const std::string& path);

// Parses property-list bytes (XML or binary) into a value; none when they are not a property list.
std::optional<Value> parsePropertyList(const std::string& bytes);

// Writes `dictionary` as an XML property list atomically: written in full beside the target and
// renamed into place, so a reader sees the old file or the new one. True when it worked.
bool writeDictionaryToFile(const Dictionary& dictionary, const std::string& path);

// The XML text of a property list holding `value`.
std::string toXmlPropertyList(const Value& value);

}  // namespace corvant
