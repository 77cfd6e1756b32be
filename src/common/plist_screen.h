// A look at property-list bytes before libplist parses them. libplist recurses once per nesting
// level, copies an object once for every reference to it, and aborts on a key that holds a NUL
// character; bytes that would lead it there are turned away first, so that a hostile file is
// merely unreadable.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace corvant {

// Containers (arrays and dictionaries) nested deeper than this make a property list unreadable:
// far beyond any real card list, update description or Info.plist.
inline constexpr int kMaxPropertyListNesting = 64;

// No bound on the entries of one container beyond what the other limits imply.
inline constexpr std::size_t kAnyNumberOfEntries = std::numeric_limits<std::size_t>::max();

// What a look at the bytes found: nothing against parsing them, something that makes them
// unreadable, or a container of more entries than the caller allows (an array's items, a
// dictionary's keys).
enum class Screening { Passes, Unsafe, TooManyEntries };

// True when `bytes` start like a binary property list; libplist reads everything else as XML.
bool looksLikeBinaryPropertyList(std::string_view bytes);

// The checks below, and a container of more than `maxEntries` entries. XML counts the elements
// inside each container, erring high as the nesting count does.
Screening screenXmlPropertyList(std::string_view bytes, std::size_t maxEntries);
Screening screenBinaryPropertyList(std::string_view bytes, std::size_t maxEntries);

// XML: no NUL byte anywhere (XML does not allow one), and no container nested deeper than the
// limit. Comments, processing instructions, declarations and CDATA sections are skipped as the
// parser skips them.
bool isSafeXmlPropertyList(std::string_view bytes);

// Where the entries of the root dictionary of an XML property list lie, for reading one of them
// without parsing the others: the offset of each key element, and after the last entry the offset
// of the dictionary's closing tag; an entry runs from its key to the next key. None when the root
// is no dictionary, when markup the parser skips (a comment, a CDATA section, a processing
// instruction) lies inside it, or when its children are not keys and values in turn: such a list
// is for the parser to read whole. Only for bytes that the screen passed.
std::optional<std::vector<std::size_t>> xmlRootDictionaryKeys(std::string_view bytes);

// Binary: a well-formed trailer and offset table; every object reachable from the top object has
// its bytes inside the file; no string (ASCII or UTF-16) holds a NUL character; no reference
// cycle; nesting within the limit; and the tree that the parser would build, with every shared
// object copied, has no more nodes than the file has bytes.
bool isSafeBinaryPropertyList(std::string_view bytes);

}  // namespace corvant
