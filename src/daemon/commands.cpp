#include "daemon/commands.h"

#include <algorithm>

#include "common/shell.h"
#include "daemon/installer_ini.h"

namespace kelvorn {

namespace {

// Letters, digits, blanks, dots, dashes and underscores: nothing the shell acts on.
bool isOrdinary(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
               c == ' ' || c == '\t' || c == '.' || c == '-' || c == '_';
    });
}

// Inside double quotation marks the shell still acts on these four characters.
bool isLiteralInsideDoubleQuotes(std::string_view text) {
    return text.find_first_of("\"\\$`") == std::string_view::npos;
}

bool isEnclosedInQuotationMarks(std::string_view text) {
    return text.size() >= 2 && text.front() == '"' && text.back() == '"';
}

// grep takes any word that begins with a dash for an option, wherever it stands.
bool hasWordLikeAnOption(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool startsWord = i == 0 || text[i - 1] == ' ' || text[i - 1] == '\t';
        if (startsWord && text[i] == '-') return true;
    }
    return false;
}

// The grep pattern slot. A value that the shell reads as plain words, none of them like an option,
// stays as written. Anything else becomes exactly one pattern, introduced by -e so that it can
// never be taken for an option: the text between the enclosing quotation marks when it has them,
// otherwise the whole value.
std::string patternArgument(std::string_view value) {
    if (isOrdinary(value) && !hasWordLikeAnOption(value)) return std::string(value);
    if (isEnclosedInQuotationMarks(value)) {
        const auto inner = value.substr(1, value.size() - 2);
        if (isLiteralInsideDoubleQuotes(inner) && !inner.starts_with('-')) {
            return std::string(value);
        }
        return "-e " + corvant::shellEscaped(inner);
    }
    return "-e " + corvant::shellEscaped(value);
}

// Text placed between double quotation marks: unchanged when the shell reads it literally there;
// otherwise the quotation is closed around an escaped copy, which keeps the whole one word.
std::string insideDoubleQuotes(std::string_view text) {
    if (isLiteralInsideDoubleQuotes(text)) return std::string(text);
    return "\"" + corvant::shellEscaped(text) + "\"";
}

}  // namespace

std::string processListingCommand(const std::optional<std::string>& applicationNameValue) {
    if (!applicationNameValue) {
        return std::string("ps Acx | grep -i \"") + kDefaultApplicationName + "\" ";
    }
    return "ps Acx | grep -i " + patternArgument(*applicationNameValue) + " ";
}

std::string launchCommand(std::string_view applicationsFolder, std::string_view applicationName) {
    return "open \"" + insideDoubleQuotes(applicationsFolder) + "/" +
           insideDoubleQuotes(applicationName) + ".app\"";
}

}  // namespace kelvorn
