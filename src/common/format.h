// Message formatting: printf conversions plus "%@", applied to a list of values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/value.h"

namespace corvant {

// Applies `format` to `arguments`. Supports the printf conversions (flags, width, precision,
// length modifiers, "%%") and "%@", which inserts a string's text or another value's description;
// an absent value prints as "(null)". A missing or mismatched argument never crashes: it prints a
// harmless text instead (an absent string as "(null)", a non-number as 0).
std::string formatMessage(std::string_view format, const std::vector<Value>& arguments);

// The same, appending to `out`: saves a copy where the message is part of a longer text.
void appendFormattedMessage(std::string& out, std::string_view format,
                            const std::vector<Value>& arguments);

template <typename... Args>
std::string formatString(std::string_view format, const Args&... arguments) {
    return formatMessage(format, std::vector<Value>{Value(arguments)...});
}

// The text "%@" inserts: a string unchanged, a number in decimal, a boolean as 1 or 0, arrays and
// dictionaries in the OpenStep style (nested, indented by four spaces, strings quoted unless they
// hold only letters, digits and "_$./:-"), an absent value as "(null)".
std::string describe(const Value& value);

}  // namespace corvant
