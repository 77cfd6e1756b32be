#include "kelvornctl/output.h"

#include <cstdio>
#include <ctime>
#include <type_traits>

#include "common/format.h"
#include "kelvornctl/verbs.h"

namespace kelvornctl {

namespace {

// The escape JSON writes for a control character (below 0x20), or none.
const char* shortEscape(unsigned char c) {
    switch (c) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case '\n':
            return "\\n";
        case '\t':
            return "\\t";
        case '\r':
            return "\\r";
        default:
            return nullptr;
    }
}

void appendCodeEscape(std::string& out, unsigned code) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
    out += escaped;
}

void appendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (const char* escape = shortEscape(byte)) {
            out += escape;
        } else if (byte < 0x20) {
            appendCodeEscape(out, byte);
        } else {
            out += c;
        }
    }
    out += '"';
}

void newline(std::string& out, JsonStyle style, int depth) {
    if (style == JsonStyle::Pretty) out += '\n' + std::string(2 * depth, ' ');
}

void appendJson(std::string& out, const corvant::Value& value, JsonStyle style, int depth) {
    const char* separator = style == JsonStyle::Pretty ? "," : ", ";
    std::visit(
        [&](const auto& held) {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, corvant::Absent>) {
                out += "null";
            } else if constexpr (std::is_same_v<T, std::string>) {
                appendJsonString(out, held);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                out += std::to_string(held);
            } else if constexpr (std::is_same_v<T, double>) {
                char number[32];
                std::snprintf(number, sizeof number, "%.17g", held);
                out += number;
            } else if constexpr (std::is_same_v<T, bool>) {
                out += held ? "true" : "false";
            } else if constexpr (std::is_same_v<T, corvant::Array>) {
                out += '[';
                for (std::size_t i = 0; i < held.size(); ++i) {
                    if (i > 0) out += separator;
                    newline(out, style, depth + 1);
                    appendJson(out, held[i], style, depth + 1);
                }
                if (!held.empty()) newline(out, style, depth);
                out += ']';
            } else if constexpr (std::is_same_v<T, corvant::Dictionary>) {
                out += '{';
                bool first = true;
                for (const auto& [key, item] : held) {
                    if (!first) out += separator;
                    first = false;
                    newline(out, style, depth + 1);
                    appendJsonString(out, key);
                    out += ": ";
                    appendJson(out, item, style, depth + 1);
                }
                if (!held.empty()) newline(out, style, depth);
                out += '}';
            } else {
                appendJsonString(out, corvant::describe(corvant::Value(held)));
            }
        },
        value.storage());
}

}  // namespace

std::string escapeControls(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte == '"' || byte == '\\') {
            out += text[i];
        } else if (const char* escape = shortEscape(byte)) {
            out += escape;
        } else if (byte < 0x20 || byte == 0x7f) {
            appendCodeEscape(out, byte);
        } else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
            appendCodeEscape(out, next);
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string toJson(const corvant::Value& value, JsonStyle style) {
    std::string out;
    appendJson(out, value, style, 0);
    return out;
}

std::string table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size()) widths.resize(row.size());
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        out += line + "\n";
    }
    return out;
}

std::string cell(const corvant::Value& value) {
    if (value.isAbsent()) return "-";
    if (const auto* text = value.as<std::string>()) {
        return text->empty() ? "-" : escapeControls(*text);
    }
    return escapeControls(corvant::describe(value));
}

std::string keyPathText(const std::vector<std::string>& keys) {
    std::string path;
    for (const auto& key : keys) path += (path.empty() ? "" : "/") + key;
    return path;
}

std::string localTime() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

int print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : kExitFindings;
}

void complain(const std::string& message) {
    std::fprintf(stderr, "kelvornctl: %s\n", message.c_str());
    std::fflush(stderr);
}

}  // namespace kelvornctl
