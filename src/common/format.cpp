// printf-style formatting over the shared value model, plus "%@" descriptions.
#include "common/format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <type_traits>

namespace corvant {
namespace {

// One parsed conversion: "%[flags][width][.precision][length]conversion".
struct Conversion {
    std::string flags;
    int width = -1;      // -1: none given
    int precision = -1;  // -1: none given
    std::string length;  // "hh", "h", "l", "ll", "j", "z", "t", "L", "q" or empty
    char kind = 0;
};

// Hands out the arguments in order; past the end every argument is absent.
class ArgumentCursor {
  public:
    explicit ArgumentCursor(const std::vector<Value>& arguments) : arguments_(arguments) {}
    const Value& next() {
        static const Value absent;
        return index_ < arguments_.size() ? arguments_[index_++] : absent;
    }

  private:
    const std::vector<Value>& arguments_;
    std::size_t index_ = 0;
};

bool isFlag(char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\'';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::int64_t toInteger(const Value& value) {
    if (const auto* number = value.as<std::int64_t>()) return *number;
    if (const auto* flag = value.as<bool>()) return *flag ? 1 : 0;
    if (const auto* real = value.as<double>()) {
        // Out-of-range or NaN conversions are undefined behaviour; clamp instead.
        if (std::isnan(*real)) return 0;
        if (*real >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
        if (*real <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(*real);
    }
    return 0;
}

double toReal(const Value& value) {
    if (const auto* real = value.as<double>()) return *real;
    if (const auto* number = value.as<std::int64_t>()) return static_cast<double>(*number);
    if (const auto* flag = value.as<bool>()) return *flag ? 1.0 : 0.0;
    return 0.0;
}

int clampToInt(std::int64_t number) {
    if (number > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (number < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(number);
}

// A width or precision beyond this would only allocate absurd amounts of padding.
constexpr int kMaxFieldSize = 1 << 20;

// Reads "*" or digits for a width or precision. Returns -1 when none is given.
int readCount(std::string_view format, std::size_t& at, ArgumentCursor& arguments, bool& fromStar) {
    fromStar = false;
    if (at < format.size() && format[at] == '*') {
        ++at;
        fromStar = true;
        return clampToInt(toInteger(arguments.next()));
    }
    if (at >= format.size() || !isDigit(format[at])) return -1;
    std::int64_t count = 0;
    while (at < format.size() && isDigit(format[at])) {
        count = std::min<std::int64_t>(count * 10 + (format[at] - '0'), kMaxFieldSize);
        ++at;
    }
    return static_cast<int>(count);
}

// Parses the conversion after a '%' starting at `at`; returns false when the text ends first.
bool parseConversion(std::string_view format, std::size_t& at, ArgumentCursor& arguments,
                     Conversion& conversion) {
    while (at < format.size() && isFlag(format[at])) conversion.flags += format[at++];
    bool fromStar = false;
    conversion.width = readCount(format, at, arguments, fromStar);
    if (fromStar && conversion.width < 0) {  // a negative "*" width means left-justified
        conversion.flags += '-';
        conversion.width =
            conversion.width == std::numeric_limits<int>::min() ? kMaxFieldSize : -conversion.width;
    }
    if (at < format.size() && format[at] == '.') {
        ++at;
        conversion.precision = readCount(format, at, arguments, fromStar);
        if (conversion.precision < 0) conversion.precision = fromStar ? -1 : 0;
    }
    conversion.width = std::min(conversion.width, kMaxFieldSize);
    conversion.precision = std::min(conversion.precision, kMaxFieldSize);
    static constexpr std::string_view kLengths = "hljztLq";
    while (at < format.size() && kLengths.find(format[at]) != std::string_view::npos) {
        conversion.length += format[at++];
    }
    if (at >= format.size()) return false;
    conversion.kind = format[at++];
    return true;
}

// Pads `text` to the conversion's width, cut to its precision, as "%s" does.
void appendPadded(std::string& out, std::string_view text, const Conversion& conversion) {
    if (conversion.precision >= 0 && text.size() > static_cast<std::size_t>(conversion.precision)) {
        text = text.substr(0, conversion.precision);
    }
    std::size_t padding = 0;
    if (conversion.width > 0 && text.size() < static_cast<std::size_t>(conversion.width)) {
        padding = conversion.width - text.size();
    }
    const bool leftJustified = conversion.flags.find('-') != std::string::npos;
    if (!leftJustified) out.append(padding, ' ');
    out.append(text);
    if (leftJustified) out.append(padding, ' ');
}

// Runs snprintf with a rebuilt printf directive and one argument.
template <typename T>
void appendPrintf(std::string& out, const Conversion& conversion, std::string_view length,
                  char kind, T argument) {
    std::string directive = "%" + conversion.flags;
    if (conversion.width >= 0) directive += std::to_string(conversion.width);
    if (conversion.precision >= 0) directive += "." + std::to_string(conversion.precision);
    directive += length;
    directive += kind;
    char small[128];
    int needed = std::snprintf(small, sizeof small, directive.c_str(), argument);
    if (needed < 0) return;
    if (static_cast<std::size_t>(needed) < sizeof small) {
        out.append(small, needed);
        return;
    }
    std::string large(static_cast<std::size_t>(needed) + 1, '\0');
    std::snprintf(large.data(), large.size(), directive.c_str(), argument);
    out.append(large.data(), needed);
}

bool isUnsignedKind(char kind) {
    return kind == 'u' || kind == 'x' || kind == 'X' || kind == 'o';
}

// Integers keep the C semantics of their length modifier ("%hhu" of 257 prints 1, "%u" of -1
// prints 4294967295); a value that does not fit 32 bits is printed in full instead of cut.
void appendInteger(std::string& out, const Conversion& conversion, char kind, std::int64_t number) {
    const std::string& length = conversion.length;
    const bool isUnsigned = isUnsignedKind(kind);
    const bool isPlainDecimal = (kind == 'd' || kind == 'i') && conversion.flags.empty() &&
                                conversion.width < 0 && conversion.precision < 0;
    if (isPlainDecimal && length != "hh" && length != "h") {  // the common case, without snprintf
        char digits[24];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
        return;
    }
    if (length == "hh") {
        if (isUnsigned)
            return appendPrintf(out, conversion, "", kind,
                                unsigned{static_cast<unsigned char>(number)});
        return appendPrintf(out, conversion, "", kind, int{static_cast<signed char>(number)});
    }
    if (length == "h") {
        if (isUnsigned)
            return appendPrintf(out, conversion, "", kind,
                                unsigned{static_cast<unsigned short>(number)});
        return appendPrintf(out, conversion, "", kind, int{static_cast<short>(number)});
    }
    const bool fitsIn32 = number >= std::numeric_limits<std::int32_t>::min() &&
                          number <= std::numeric_limits<std::uint32_t>::max();
    if (isUnsigned && length.empty() && fitsIn32) {
        return appendPrintf(out, conversion, "", kind, static_cast<unsigned>(number));
    }
    if (isUnsigned) {
        return appendPrintf(out, conversion, "ll", kind,
                            static_cast<unsigned long long>(static_cast<std::uint64_t>(number)));
    }
    appendPrintf(out, conversion, "ll", kind, static_cast<long long>(number));
}

void appendCharacter(std::string& out, const Conversion& conversion, const Value& argument) {
    char character = 0;
    if (const auto* text = argument.as<std::string>()) {
        character = text->empty() ? '\0' : (*text)[0];
    } else {
        character = static_cast<char>(toInteger(argument));
    }
    Conversion asText = conversion;
    asText.precision = -1;
    appendPadded(out, std::string_view(&character, character == '\0' ? 0 : 1), asText);
}

void appendDescription(std::string& out, const Value& value, int level);

void appendText(std::string& out, const Conversion& conversion, const Value& argument) {
    if (const auto* text = argument.as<std::string>()) return appendPadded(out, *text, conversion);
    const bool isCollection = argument.is<Array>() || argument.is<Dictionary>();
    if (isCollection && conversion.width < 0 && conversion.precision < 0) {
        return appendDescription(out, argument, 0);  // straight into the message, without a copy
    }
    appendPadded(out, describe(argument), conversion);
}

void appendPointer(std::string& out, const Conversion& conversion, const Value& argument) {
    char buffer[32];
    int length = std::snprintf(buffer, sizeof buffer, "0x%llx",
                               static_cast<unsigned long long>(toInteger(argument)));
    Conversion asText = conversion;
    asText.precision = -1;
    appendPadded(out, std::string_view(buffer, length), asText);
}

void appendConversion(std::string& out, const Conversion& conversion, ArgumentCursor& arguments) {
    switch (conversion.kind) {
        case '@':
            return appendText(out, conversion, arguments.next());
        case 's':
        case 'S':
            return appendText(out, conversion, arguments.next());
        case 'c':
        case 'C':
            return appendCharacter(out, conversion, arguments.next());
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            return appendInteger(out, conversion, conversion.kind, toInteger(arguments.next()));
        case 'D':  // old spellings of "%ld", "%lu", "%lo"
            return appendInteger(out, conversion, 'd', toInteger(arguments.next()));
        case 'U':
            return appendInteger(out, conversion, 'u', toInteger(arguments.next()));
        case 'O':
            return appendInteger(out, conversion, 'o', toInteger(arguments.next()));
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            return appendPrintf(out, conversion, "", conversion.kind, toReal(arguments.next()));
        case 'p':
            return appendPointer(out, conversion, arguments.next());
        case 'n':  // would write through a pointer: consume the argument, print nothing
            arguments.next();
            return;
        default:  // filtered out by isKnownConversion
            return;
    }
}

bool isKnownConversion(char kind) {
    static constexpr std::string_view kKnown = "@sScCdiuxXoDUOfFeEgGaApn";
    return kKnown.find(kind) != std::string_view::npos;
}

bool isPlainWordCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || c == '_' || c == '$' ||
           c == '.' || c == '/' || c == ':' || c == '-';
}

std::string quotedIfNeeded(const std::string& text) {
    bool plain = !text.empty();
    for (char c : text) plain = plain && isPlainWordCharacter(c);
    if (plain) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

std::string describeReal(double real) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, real);
    return std::string(buffer, result.ptr);
}

std::string describeData(const Data& data) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text = "<";
    for (std::size_t i = 0; i < data.bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) text += ' ';
        text += kHex[data.bytes[i] >> 4];
        text += kHex[data.bytes[i] & 0xf];
    }
    text += '>';
    return text;
}

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr std::int64_t kReferenceDateUnixSeconds = 978307200;

std::string describeDate(const Date& date) {
    const double seconds = std::floor(date.secondsSinceReferenceDate);
    std::time_t unixSeconds = kReferenceDateUnixSeconds;
    if (std::isfinite(seconds) && std::fabs(seconds) < 1e15) {
        unixSeconds += static_cast<std::time_t>(seconds);
    }
    std::tm parts{};
    if (gmtime_r(&unixSeconds, &parts) == nullptr) return "(invalid date)";
    char buffer[64];
    std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &parts);
    return std::string(buffer, length);
}

void appendIndentation(std::string& out, int level) {
    out.append(static_cast<std::size_t>(level) * 4, ' ');
}

// Values nested deeper than this print as "(...)": descriptions of values read from files never
// get there, and one built by code cannot make the description recurse without bound.
constexpr int kMaxDescribedNesting = 64;

void appendDescription(std::string& out, const Value& value, int level);

// Collections print their own indentation before the opening bracket, as the OpenStep text
// style does; nested ones therefore sit further right than their entries' keys. Everything is
// appended to one text, so the time taken grows with the text's length only.
void appendArray(std::string& out, const Array& array, int level) {
    appendIndentation(out, level);
    out += "(\n";
    for (std::size_t i = 0; i < array.size(); ++i) {
        appendIndentation(out, level + 1);
        appendDescription(out, array[i], level + 1);
        out += i + 1 < array.size() ? ",\n" : "\n";
    }
    appendIndentation(out, level);
    out += ')';
}

void appendDictionary(std::string& out, const Dictionary& dictionary, int level) {
    appendIndentation(out, level);
    out += "{\n";
    for (const auto& [key, value] : dictionary) {
        appendIndentation(out, level + 1);
        out += quotedIfNeeded(key);
        out += " = ";
        appendDescription(out, value, level + 1);
        out += ";\n";
    }
    appendIndentation(out, level);
    out += '}';
}

// A value inside a collection: strings quoted as needed, collections at their level.
void appendDescription(std::string& out, const Value& value, int level) {
    const auto* array = value.as<Array>();
    const auto* dictionary = value.as<Dictionary>();
    if ((array || dictionary) && level >= kMaxDescribedNesting) {
        out += "(...)";
    } else if (array) {
        appendArray(out, *array, level);
    } else if (dictionary) {
        appendDictionary(out, *dictionary, level);
    } else if (const auto* text = value.as<std::string>(); text && level > 0) {
        out += quotedIfNeeded(*text);
    } else {
        out += describe(value);
    }
}

}  // namespace

std::string formatMessage(std::string_view format, const std::vector<Value>& arguments) {
    std::string out;
    out.reserve(format.size() + 16 * arguments.size());
    appendFormattedMessage(out, format, arguments);
    return out;
}

void appendFormattedMessage(std::string& out, std::string_view format,
                            const std::vector<Value>& arguments) {
    ArgumentCursor cursor(arguments);
    std::size_t at = 0;
    while (at < format.size()) {
        const std::size_t percent = format.find('%', at);
        if (percent == std::string_view::npos) {
            out.append(format.substr(at));
            break;
        }
        out.append(format.substr(at, percent - at));
        at = percent + 1;
        if (at < format.size() && format[at] == '%') {
            out += '%';
            ++at;
            continue;
        }
        Conversion conversion;
        if (!parseConversion(format, at, cursor, conversion)) {
            out.append(format.substr(percent));  // a dangling '%' prints as written
            break;
        }
        if (isKnownConversion(conversion.kind)) {
            appendConversion(out, conversion, cursor);
        } else {
            out.append(format.substr(percent, at - percent));  // unknown: printed as written
        }
    }
}

std::string describe(const Value& value) {
    return std::visit(
        [](const auto& held) -> std::string {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, Absent>) return "(null)";
            if constexpr (std::is_same_v<T, std::string>) return held;
            if constexpr (std::is_same_v<T, std::int64_t>) return std::to_string(held);
            if constexpr (std::is_same_v<T, double>) return describeReal(held);
            if constexpr (std::is_same_v<T, bool>) return held ? "1" : "0";
            if constexpr (std::is_same_v<T, Date>) return describeDate(held);
            if constexpr (std::is_same_v<T, Data>) return describeData(held);
            std::string text;
            if constexpr (std::is_same_v<T, Array>) appendArray(text, held, 0);
            if constexpr (std::is_same_v<T, Dictionary>) appendDictionary(text, held, 0);
            return text;
        },
        value.storage());
}

}  // namespace corvant
