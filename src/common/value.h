// The one value model shared by property lists, message formatting, registry properties and
// notification user information: the property-list kinds plus "absent".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace corvant {

class Value;

// Seconds since 2001-01-01 00:00:00 UTC, the property-list epoch.
struct Date {
    double secondsSinceReferenceDate = 0;
    bool operator==(const Date&) const = default;
};

struct Data {
    std::vector<std::uint8_t> bytes;
    bool operator==(const Data&) const = default;
};

using Array = std::vector<Value>;
// Keys are kept sorted, which is also the order in which descriptions print them.
using Dictionary = std::map<std::string, Value>;

struct Absent {
    bool operator==(const Absent&) const = default;
};

class Value {
  public:
    using Storage = std::variant<Absent, std::string, std::int64_t, double, bool, Date, Data, Array,
                                 Dictionary>;

    Value() = default;
    Value(Absent) {}
    Value(const char* text) {
        if (text != nullptr) storage_ = std::string(text);
    }
    Value(std::string text) : storage_(std::move(text)) {}
    Value(std::string_view text) : storage_(std::string(text)) {}
    Value(bool flag) : storage_(flag) {}
    template <typename Int,
              std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool> &&
                                   !std::is_same_v<Int, char>,
                               int> = 0>
    Value(Int number) : storage_(static_cast<std::int64_t>(number)) {}
    Value(double number) : storage_(number) {}
    Value(Date date) : storage_(date) {}
    Value(Data data) : storage_(std::move(data)) {}
    Value(Array array) : storage_(std::move(array)) {}
    Value(Dictionary dictionary) : storage_(std::move(dictionary)) {}

    bool isAbsent() const { return std::holds_alternative<Absent>(storage_); }
    template <typename T>
    bool is() const {
        return std::holds_alternative<T>(storage_);
    }
    // Null when the value holds another kind.
    template <typename T>
    const T* as() const {
        return std::get_if<T>(&storage_);
    }
    template <typename T>
    T* as() {
        return std::get_if<T>(&storage_);
    }

    const Storage& storage() const { return storage_; }
    bool operator==(const Value&) const = default;

  private:
    Storage storage_;
};

// Looks a key up; absent when the dictionary has no such key.
inline const Value& lookup(const Dictionary& dictionary, const std::string& key) {
    static const Value absent;
    auto found = dictionary.find(key);
    return found == dictionary.end() ? absent : found->second;
}

}  // namespace corvant
