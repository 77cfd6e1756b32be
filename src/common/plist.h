// Property-list files, read as dictionaries and written as XML, on libplist.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/value.h"

namespace corvant {

// Property-list files larger than this are not read at all.
inline constexpr std::size_t kMaxPropertyListFileBytes = std::size_t{64} << 20;

// Reads an XML or binary property list whose root is a dictionary. None for a missing file,
// anything but a regular file (a link is followed; a FIFO or device is not waited for), one
// larger than `maxBytes`, content that is not a property list (or one this reader refuses, see
// parsePropertyList), or a root of another kind.
std::optional<Dictionary> readDictionaryFromFile(const std::string& path,
                                                 std::size_t maxBytes = kMaxPropertyListFileBytes);

// Parses property-list bytes (XML or binary) into a value; none when they are not a property list.
// Also none, as for any unreadable list, when a string or key holds a NUL character, containers
// are nested more than 64 deep, or a binary list's shared objects would expand into more nodes
// than it has bytes.
std::optional<Value> parsePropertyList(const std::string& bytes);

// Writes `dictionary` as an XML property list atomically: written in full beside the target and
// renamed into place, so a reader sees the old file or the new one. True when it worked.
bool writeDictionaryToFile(const Dictionary& dictionary, const std::string& path);

// The XML text of a property list holding `value`.
std::string toXmlPropertyList(const Value& value);

}  // namespace corvant
