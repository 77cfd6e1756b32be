// Property-list files on libplist's C API, mapped to and from the shared value model.
#include "common/plist.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "common/paths.h"
#include "common/plist_screen.h"
#include "common/regular_file.h"

namespace corvant {
namespace {

// Owns one libplist node tree.
struct NodeDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using NodeHandle = std::unique_ptr<void, NodeDeleter>;

// Owns a buffer that libplist allocated with malloc.
struct MallocDeleter {
    void operator()(void* block) const { std::free(block); }
};
template <typename T>
using MallocHandle = std::unique_ptr<T, MallocDeleter>;

// libplist keeps dates as seconds and microseconds since 2001-01-01, as we do.
Date dateOf(plist_t node) {
    int32_t seconds = 0;
    int32_t microseconds = 0;
    plist_get_date_val(node, &seconds, &microseconds);
    return Date{static_cast<double>(seconds) + static_cast<double>(microseconds) / 1e6};
}

// Taken with its length, so that a NUL character inside cannot cut it short.
std::string stringOf(plist_t node) {
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text != nullptr ? std::string(text, length) : std::string();
}

Data dataOf(plist_t node) {
    char* bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node, &bytes, &length);
    MallocHandle<char> owned(bytes);
    Data data;
    if (bytes != nullptr) data.bytes.assign(bytes, bytes + length);
    return data;
}

// The screen before parsing keeps nesting within the limit; the depth is counted here once more so
// that the conversion's recursion is bounded whatever the parser built. Each function returns
// false when a container lies too deep.
bool convert(plist_t node, int depth, Value& out);

// Walked with the iterator: an indexed get searches from the first item each time unless the
// parser built an index, which the binary parser does not, and that made a long array quadratic.
bool convertArray(plist_t node, int depth, Value& out) {
    Array array;
    array.reserve(plist_array_get_size(node));
    plist_array_iter iterator = nullptr;
    plist_array_new_iter(node, &iterator);
    MallocHandle<void> ownedIterator(iterator);
    for (;;) {
        plist_t item = nullptr;
        plist_array_next_item(node, iterator, &item);
        if (item == nullptr) break;
        if (!convert(item, depth, array.emplace_back())) return false;
    }
    out = Value(std::move(array));
    return true;
}

// Calls `take(key, item)` for every entry of dictionary `node`, in order; stops when it answers
// false. The keys are safe to take as C strings: the screen turned away every list with a NUL in a
// string.
template <typename Take>
bool forEachEntry(plist_t node, Take take) {
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    MallocHandle<void> ownedIterator(iterator);
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iterator, &key, &item);
        MallocHandle<char> ownedKey(key);
        if (item == nullptr) return true;
        if (key != nullptr && !take(key, item)) return false;
    }
}

// A key that appears twice keeps its last value.
bool convertDictionary(plist_t node, int depth, Value& out) {
    Dictionary dictionary;
    const bool converted = forEachEntry(node, [&](const char* key, plist_t item) {
        Value value;
        if (!convert(item, depth, value)) return false;
        dictionary.insert_or_assign(key, std::move(value));
        return true;
    });
    if (!converted) return false;
    out = Value(std::move(dictionary));
    return true;
}

Value leafOf(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            return Value(flag != 0);
        }
        case PLIST_UINT: {
            // This libplist reads every integer as unsigned; negative ones come back as their
            // two's-complement bit pattern, so the cast restores them.
            uint64_t number = 0;
            plist_get_uint_val(node, &number);
            return Value(static_cast<std::int64_t>(number));
        }
        case PLIST_REAL: {
            double real = 0;
            plist_get_real_val(node, &real);
            return Value(real);
        }
        case PLIST_STRING:
            return Value(stringOf(node));
        case PLIST_DATE:
            return Value(dateOf(node));
        case PLIST_DATA:
            return Value(dataOf(node));
        default:  // keys, UIDs and unknown nodes have no counterpart
            return {};
    }
}

bool convert(plist_t node, int depth, Value& out) {
    if (node == nullptr) return true;
    const plist_type type = plist_get_node_type(node);
    if (type != PLIST_ARRAY && type != PLIST_DICT) {
        out = leafOf(node);
        return true;
    }
    if (depth >= kMaxPropertyListNesting) return false;
    return type == PLIST_ARRAY ? convertArray(node, depth + 1, out)
                               : convertDictionary(node, depth + 1, out);
}

plist_t nodeOf(const Value& value);

plist_t dateNode(const Date& date) {
    double seconds = std::floor(date.secondsSinceReferenceDate);
    double microseconds = std::round((date.secondsSinceReferenceDate - seconds) * 1e6);
    if (microseconds >= 1e6) {
        seconds += 1;
        microseconds -= 1e6;
    }
    constexpr double kLimit = std::numeric_limits<int32_t>::max();
    if (!std::isfinite(seconds) || seconds > kLimit || seconds < -kLimit) seconds = 0;
    return plist_new_date(static_cast<int32_t>(seconds), static_cast<int32_t>(microseconds));
}

plist_t nodeOf(const Value& value) {
    if (const auto* text = value.as<std::string>()) return plist_new_string(text->c_str());
    if (const auto* number = value.as<std::int64_t>()) {
        return plist_new_uint(static_cast<uint64_t>(*number));
    }
    if (const auto* real = value.as<double>()) return plist_new_real(*real);
    if (const auto* flag = value.as<bool>()) return plist_new_bool(*flag ? 1 : 0);
    if (const auto* date = value.as<Date>()) return dateNode(*date);
    if (const auto* data = value.as<Data>()) {
        return plist_new_data(reinterpret_cast<const char*>(data->bytes.data()),
                              data->bytes.size());
    }
    if (const auto* array = value.as<Array>()) {
        plist_t node = plist_new_array();
        for (const Value& item : *array) {
            if (plist_t child = nodeOf(item)) plist_array_append_item(node, child);
        }
        return node;
    }
    if (const auto* dictionary = value.as<Dictionary>()) {
        plist_t node = plist_new_dict();
        for (const auto& [key, item] : *dictionary) {
            if (plist_t child = nodeOf(item)) plist_dict_set_item(node, key.c_str(), child);
        }
        return node;
    }
    return nullptr;  // an absent value has no property-list form and is left out
}

bool writeAll(int descriptor, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t result = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) return false;
        written += static_cast<std::size_t>(result);
    }
    return true;
}

// Makes the rename itself durable; a failure here leaves the file written, so it is not reported.
void syncDirectory(const std::string& directory) {
    int descriptor = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return;
    ::fsync(descriptor);
    ::close(descriptor);
}

// A new file gets the usual 0644; a replaced one keeps its mode.
mode_t modeFor(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) return status.st_mode & 07777;
    return 0644;
}

// The node tree of `bytes` after the screen, none when they are unreadable or past `maxEntries`.
NodeHandle parseNodes(const std::string& bytes, std::size_t maxEntries, bool& tooManyEntries) {
    tooManyEntries = false;
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
    const auto size = static_cast<uint32_t>(bytes.size());
    plist_t root = nullptr;
    // The format is decided here once, so that the screen and the parser see the same one.
    const bool binary = looksLikeBinaryPropertyList(bytes);
    Screening screening = binary ? screenBinaryPropertyList(bytes, maxEntries)
                                 : screenXmlPropertyList(bytes, maxEntries);
    tooManyEntries = screening == Screening::TooManyEntries;
    if (screening != Screening::Passes) return nullptr;
    if (binary)
        plist_from_bin(bytes.data(), size, &root);
    else
        plist_from_xml(bytes.data(), size, &root);
    return NodeHandle(root);
}

// The string under `key` among the root dictionary's entries that begin at `keys`: each entry
// whose key may be `key` is parsed alone, the others not at all. The last one counts, as in a
// whole parse.
std::optional<std::string> stringAmongEntries(const std::string& bytes,
                                              const std::vector<std::size_t>& keys,
                                              const std::string& key) {
    constexpr std::string_view kKeyTag = "<key>";
    std::optional<std::string> found;
    for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
        const std::string_view entry(bytes.data() + keys[i], keys[i + 1] - keys[i]);
        const std::string_view text =
            entry.substr(kKeyTag.size(), entry.find('<', kKeyTag.size()) - kKeyTag.size());
        if (text != key && text.find('&') == std::string_view::npos) continue;  // another key
        std::optional<Value> alone =
            parsePropertyList("<plist><dict>" + std::string(entry) + "</dict></plist>");
        const Dictionary* fields = alone ? alone->as<Dictionary>() : nullptr;
        if (fields == nullptr) return std::nullopt;
        if (fields->size() != 1 || fields->begin()->first != key) continue;
        const std::string* value = fields->begin()->second.as<std::string>();
        found = value ? std::optional<std::string>(*value) : std::nullopt;
    }
    return found;
}

}  // namespace

std::optional<Value> parsePropertyList(const std::string& bytes) {
    bool ignored = false;
    return parsePropertyList(bytes, kAnyNumberOfEntries, ignored);
}

std::optional<Value> parsePropertyList(const std::string& bytes, std::size_t maxEntries,
                                       bool& tooManyEntries) {
    NodeHandle root = parseNodes(bytes, maxEntries, tooManyEntries);
    Value value;
    if (!root || !convert(static_cast<plist_t>(root.get()), 0, value)) return std::nullopt;
    return value;
}

std::optional<std::string> stringInRootDictionary(const std::string& bytes, const std::string& key,
                                                  std::size_t maxEntries, bool& tooManyEntries) {
    if (!looksLikeBinaryPropertyList(bytes)) {
        Screening screening = screenXmlPropertyList(bytes, maxEntries);
        tooManyEntries = screening == Screening::TooManyEntries;
        if (screening != Screening::Passes) return std::nullopt;
        if (std::optional<std::vector<std::size_t>> keys = xmlRootDictionaryKeys(bytes))
            return stringAmongEntries(bytes, *keys, key);
    }
    NodeHandle root = parseNodes(bytes, maxEntries, tooManyEntries);
    auto node = static_cast<plist_t>(root.get());
    if (node == nullptr || plist_get_node_type(node) != PLIST_DICT) return std::nullopt;
    plist_t found = nullptr;  // the last entry of the key, as the conversion keeps it
    forEachEntry(node, [&](const char* entryKey, plist_t item) {
        if (key == entryKey) found = item;
        return true;
    });
    if (found == nullptr || plist_get_node_type(found) != PLIST_STRING) return std::nullopt;
    return stringOf(found);
}

std::optional<Dictionary> readDictionaryFromFile(const std::string& path, std::size_t maxBytes) {
    auto bytes = readRegularFile(path, maxBytes);
    if (!bytes) return std::nullopt;
    auto value = parsePropertyList(*bytes);
    if (!value) return std::nullopt;
    auto* dictionary = value->as<Dictionary>();
    if (dictionary == nullptr) return std::nullopt;
    return std::move(*dictionary);
}

std::string toXmlPropertyList(const Value& value) {
    NodeHandle root(nodeOf(value));
    if (!root) return {};
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(root.get()), &xml, &length);
    if (xml == nullptr) return {};
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

bool writeDictionaryToFile(const Dictionary& dictionary, const std::string& path) {
    const std::string xml = toXmlPropertyList(Value(dictionary));
    if (xml.empty() || path.empty()) return false;
    std::string temporary = path + ".XXXXXX";
    int descriptor = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor < 0) return false;
    bool written = writeAll(descriptor, xml) && ::fchmod(descriptor, modeFor(path)) == 0 &&
                   ::fsync(descriptor) == 0;
    written = ::close(descriptor) == 0 && written;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncDirectory(directoryOf(path));
    return true;
}

}  // namespace corvant
