#include "kelvornctl/output.h"

#include <cstdio>
#include <type_traits>

#include "common/format.h"

namespace kelvornctl {

namespace {

void appendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

void appendJson(std::string& out, const corvant::Value& value) {
    std::visit(
        [&out](const auto& held) {
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
                    if (i > 0) out += ", ";
                    appendJson(out, held[i]);
                }
                out += ']';
            } else if constexpr (std::is_same_v<T, corvant::Dictionary>) {
                out += '{';
                bool first = true;
                for (const auto& [key, item] : held) {
                    if (!first) out += ", ";
                    first = false;
                    appendJsonString(out, key);
                    out += ": ";
                    appendJson(out, item);
                }
                out += '}';
            } else {
                appendJsonString(out, corvant::describe(corvant::Value(held)));
            }
        },
        value.storage());
}

}  // namespace

std::string toJson(const corvant::Value& value) {
    std::string out;
    appendJson(out, value);
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
    if (const auto* text = value.as<std::string>()) return text->empty() ? "-" : *text;
    return corvant::describe(value);
}

}  // namespace kelvornctl
