#include "kelvornctl/lint.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/plist.h"
#include "daemon/card_list.h"
#include "daemon/device_reading.h"

namespace kelvornctl {

namespace {

using corvant::Dictionary;
using corvant::Value;

bool allOf(const std::string& text, int (*test)(int)) {
    for (const char c : text) {
        if (!test(static_cast<unsigned char>(c))) return false;
    }
    return !text.empty();
}

// Why an id key is not the plain decimal text the daemon compares with; empty when it is.
std::string notPlainDecimal(const std::string& key) {
    if (key.empty()) return "it is empty";
    for (const char c : key) {
        if (std::isspace(static_cast<unsigned char>(c))) return "it holds blanks";
    }
    if (key.size() > 1 && key[0] == '0' && (key[1] == 'x' || key[1] == 'X')) {
        return "a \"0x\" prefix: write the number in decimal";
    }
    if (allOf(key, std::isxdigit) && !allOf(key, std::isdigit)) {
        return "hexadecimal letters: write the number in decimal";
    }
    if (!allOf(key, std::isdigit)) return "it is not a number";
    if (key.size() > 1 && key[0] == '0') return "leading zeros";
    return {};
}

std::string withoutLeadingZeros(const std::string& digits) {
    const auto first = digits.find_first_not_of('0');
    return first == std::string::npos ? "0" : digits.substr(first);
}

// The no-suffix key as written when blanks and letter case are ignored.
std::string squeezedUpper(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return out;
}

const char* kindOf(const Value& value) {
    if (value.is<std::string>()) return "a string";
    if (value.is<std::int64_t>()) return "an integer";
    if (value.is<double>()) return "a real";
    if (value.is<bool>()) return "a boolean";
    if (value.is<corvant::Date>()) return "a date";
    if (value.is<corvant::Data>()) return "data";
    if (value.is<corvant::Array>()) return "an array";
    return "a value";
}

class Linter {
  public:
    explicit Linter(LintReport& report) : report_(report) {}

    void root(const Dictionary& families) {
        for (const auto& [family, suffixes] : families) {
            path_ = {family};
            if (const auto* level = dictionary(suffixes, "the family")) familyLevel(*level);
        }
    }

  private:
    void familyLevel(const Dictionary& suffixes) {
        for (const auto& [suffix, vendors] : suffixes) {
            path_.resize(1);
            path_.push_back(suffix);
            if (suffix != kelvorn::kNoSuffix &&
                squeezedUpper(suffix) == squeezedUpper(kelvorn::kNoSuffix)) {
                add(true, "the no-suffix key must read \"" + std::string(kelvorn::kNoSuffix) +
                              "\" exactly: as written it never matches");
            } else if (suffix.size() > 1 && suffix[0] == '0' && allOf(suffix, std::isdigit)) {
                add(false,
                    "a suffix with a leading zero: a USB port's suffix is its interface number "
                    "in decimal, without one (\"" +
                        withoutLeadingZeros(suffix) + "\")");
            }
            if (const auto* level = dictionary(vendors, "the suffix")) suffixLevel(*level);
        }
    }

    void suffixLevel(const Dictionary& vendors) {
        for (const auto& [vendor, products] : vendors) {
            path_.resize(2);
            path_.push_back(vendor);
            if (auto why = notPlainDecimal(vendor); !why.empty()) {
                add(true, "a vendor id must be plain decimal: " + why);
            }
            const auto* level = dictionary(products, "the vendor");
            if (!level) continue;
            for (const auto& [product, model] : *level) {
                ++report_.entries;
                path_.resize(3);
                path_.push_back(product);
                if (auto why = notPlainDecimal(product); !why.empty()) {
                    add(true, "a product id must be plain decimal: " + why);
                }
            }
        }
    }

    // The dictionary `value` holds; null, with a finding, when it holds something else.
    const Dictionary* dictionary(const Value& value, const char* what) {
        const auto* level = value.as<Dictionary>();
        if (!level) {
            add(true, std::string(what) + " holds " + kindOf(value) +
                          ", not a dictionary: nothing below it can match");
        }
        return level;
    }

    void add(bool error, std::string message) {
        report_.findings.push_back({error, path_, std::move(message)});
    }

    LintReport& report_;
    std::vector<std::string> path_;
};

// Why the daemon does not read the file at `path` as a card list.
std::string whyUnreadable(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return std::string("cannot be read: ") + std::strerror(errno);
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    if (static_cast<std::size_t>(status.st_size) > kelvorn::kMaxCardListBytes) {
        return "over the " + std::to_string(kelvorn::kMaxCardListBytes >> 20) +
               " MiB the daemon reads: it counts as an empty card list";
    }
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    if (!file) return "cannot be read";
    const auto value = corvant::parsePropertyList(bytes.str());
    if (!value) return "not a property list the daemon reads: it counts as an empty card list";
    if (!value->is<Dictionary>()) {
        return std::string("its root is ") + kindOf(*value) +
               ", not a dictionary: it counts as an empty card list";
    }
    return "cannot be read";
}

}  // namespace

bool LintReport::hasErrors() const {
    for (const auto& finding : findings) {
        if (finding.error) return true;
    }
    return false;
}

LintReport lintCardList(const std::string& path) {
    LintReport report;
    const auto cardList = kelvorn::readCardList(path);
    if (!cardList) {
        report.findings.push_back({true, {}, whyUnreadable(path)});
        return report;
    }
    Linter(report).root(*cardList);
    return report;
}

}  // namespace kelvornctl
