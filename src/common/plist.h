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

// As parsePropertyList, and none as well when an array or a dictionary holds more than
// `maxEntries` entries: `tooManyEntries` is then set, and nothing has been parsed.
std::optional<Value> parsePropertyList(const std::string& bytes, std::size_t maxEntries,
                                       bool& tooManyEntries);

// The string under `key` in a property list whose root is a dictionary, with the bounds of the
// parse above; nothing else of the list is converted. None when the bytes are no such list, or the
// value is absent or of another kind.
std::optional<std::string> stringInRootDictionary(const std::string& bytes, const std::string& key,
                                                  std::size_t maxEntries, bool& tooManyEntries);

// Writes `dictionary` as an XML property list atomically: written in full beside the target and
// renamed into place, so a reader sees the old file or the new one. True when it worked.
bool writeDictionaryToFile(const Dictionary& dictionary, const std::string& path);

// The XML text of a property list holding `value`.
std::string toXmlPropertyList(const Value& value);

}  // namespace corvant
