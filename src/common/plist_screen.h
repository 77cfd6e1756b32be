// A look at property-list bytes before libplist parses them. libplist recurses once per nesting
// level, copies an object once for every reference to it, and aborts on a key that holds a NUL
// character; bytes that would lead it there are turned away first, so that a hostile file is
// merely unreadable.
#pragma once

#include <string_view>

namespace corvant {

// Containers (arrays and dictionaries) nested deeper than this make a property list unreadable:
// far beyond any real card list, update description or Info.plist.
inline constexpr int kMaxPropertyListNesting = 64;

// True when `bytes` start like a binary property list; libplist reads everything else as XML.
bool looksLikeBinaryPropertyList(std::string_view bytes);

// XML: no NUL byte anywhere (XML does not allow one), and no container nested deeper than the
// limit. Comments, processing instructions, declarations and CDATA sections are skipped as the
// parser skips them.
bool isSafeXmlPropertyList(std::string_view bytes);

// Binary: a well-formed trailer and offset table; every object reachable from the top object has
// its bytes inside the file; no string (ASCII or UTF-16) holds a NUL character; no reference
// cycle; nesting within the limit; and the tree that the parser would build, with every shared
// object copied, has no more nodes than the file has bytes.
bool isSafeBinaryPropertyList(std::string_view bytes);

}  // namespace corvant
