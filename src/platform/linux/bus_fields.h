// The properties of the daemon's bus interfaces: one table per interface, one row per property,
// with its name on the bus (kelvornctl's JSON key too), the field of the daemon's answer it is read
// from (which gives its D-Bus type), its name for people, and whether it changes. The sd-bus
// vtables, the Devices calls' dictionaries, PropertiesChanged and kelvornctl's tables, lines and
// JSON are all made from these rows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "platform/device_queries.h"

namespace kelvorn::linux_backend {

template <typename Source>
struct BusField {
    using Member =
        std::variant<std::string Source::*, std::int32_t Source::*, std::int64_t Source::*>;

    const char* name;
    Member member;
    // How kelvornctl names it to people.
    const char* label;
    // Announced with PropertiesChanged when it changes; otherwise it never changes.
    bool changes = false;
};

// The D-Bus type of a row: "s", "i" or "x", as its field's type says.
template <typename Source>
constexpr const char* signatureOf(const BusField<Source>& field) {
    constexpr const char* kSignatures[] = {"s", "i", "x"};
    return kSignatures[field.member.index()];
}

// com.Corvant.Kelvorn.Daemon, on /com/Corvant/Kelvorn.
inline constexpr BusField<DaemonStatus> kDaemonFields[] = {
    {"State", &DaemonStatus::state, "State", true},
    {"ConsoleUser", &DaemonStatus::consoleUser, "Console user", true},
    {"CardList", &DaemonStatus::cardList, "Card list", true},
    {"Families", &DaemonStatus::families, "Families", true},
    {"Version", &DaemonStatus::version, "Version"},
};

// com.Corvant.Kelvorn.Port, on each port's object.
inline constexpr BusField<SupportedPort> kPortFields[] = {
    {"Device", &SupportedPort::device, "Device"},
    {"BaseName", &SupportedPort::baseName, "Family"},
    {"Suffix", &SupportedPort::suffix, "Suffix"},
    {"VID", &SupportedPort::vendorId, "VID"},
    {"PID", &SupportedPort::productId, "PID"},
    {"Model", &SupportedPort::model, "Model"},
    {"SysfsPath", &SupportedPort::identity, "Sysfs path"},
    {"Card", &SupportedPort::card, "Card"},
};

// Whether each of `names` is a row of `table`: the views below are checked with it when compiled.
template <typename Source, std::size_t N, std::size_t M>
constexpr bool namesRows(const BusField<Source> (&table)[N], const std::string_view (&names)[M]) {
    for (const std::string_view name : names) {
        bool found = false;
        for (const BusField<Source>& field : table) found = found || name == field.name;
        if (!found) return false;
    }
    return true;
}

// The rows of `table` named `names`, in that order.
template <typename Source, std::size_t N, std::size_t M>
constexpr std::array<const BusField<Source>*, M> pickFields(const BusField<Source> (&table)[N],
                                                            const std::string_view (&names)[M]) {
    std::array<const BusField<Source>*, M> picked{};
    for (std::size_t i = 0; i < M; ++i) {
        for (const BusField<Source>& field : table) {
            if (names[i] == field.name) picked[i] = &field;
        }
    }
    return picked;
}

// com.Corvant.Kelvorn.Devices: its calls answer with rows of the tables above, in the order their
// answers have always had, without the rows added since.
inline constexpr std::string_view kGetStatusNames[] = {"State", "ConsoleUser", "CardList",
                                                       "Families"};
inline constexpr auto kGetStatusFields = pickFields(kDaemonFields, kGetStatusNames);
static_assert(namesRows(kDaemonFields, kGetStatusNames));

inline constexpr std::string_view kGetSupportedDevicesNames[] = {"VID",      "PID",    "Device",
                                                                 "BaseName", "Suffix", "Model"};
inline constexpr auto kGetSupportedDevicesFields =
    pickFields(kPortFields, kGetSupportedDevicesNames);
static_assert(namesRows(kPortFields, kGetSupportedDevicesNames));

}  // namespace kelvorn::linux_backend
