// The D-Bus side of the backend that needs no running bus: the body of a notification signal, and
// what logind's answers mean.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/linux/dbus_notifications.h"
#include "platform/linux/logind.h"

namespace kelvorn::linux_backend {
namespace {

// A connection to a socket nobody answers: enough to build messages on.
sd_bus* idleConnection() {
    int sockets[2];
    sd_bus* bus = nullptr;
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    EXPECT_GE(sd_bus_new(&bus), 0);
    EXPECT_GE(sd_bus_set_fd(bus, sockets[0], sockets[0]), 0);
    EXPECT_GE(sd_bus_start(bus), 0);
    close(sockets[1]);
    return bus;
}

// Builds a notification signal and returns its dump, body only.
std::string dumpOfSignal(const corvant::Dictionary& userInfo) {
    sd_bus* bus = idleConnection();
    sd_bus_message* message = nullptr;
    EXPECT_GE(sd_bus_message_new_signal(bus, &message, kNotificationPath, kNotificationInterface,
                                        kNotificationMember),
              0);
    EXPECT_GE(sd_bus_message_append(message, "s", "Supported device added"), 0);
    EXPECT_GE(appendUserInfo(message, userInfo), 0);
    EXPECT_GE(sd_bus_message_seal(message, 1, 0), 0);
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    sd_bus_message_dump(message, out, SD_BUS_MESSAGE_DUMP_SUBTREE_ONLY);
    fclose(out);
    std::string dump(text, size);
    free(text);
    EXPECT_STREQ(sd_bus_message_get_signature(message, 1), "sa{sv}");
    sd_bus_message_unref(message);
    sd_bus_close_unref(bus);
    return dump;
}

std::string squeezed(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == ' ' || c == '\t') {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

TEST(NotificationSignal, CarriesTheNameAndTheUserInformation) {
    std::string dump =
        squeezed(dumpOfSignal({{"VID", 4817}, {"PID", 5382}, {"fromDaemon", "YES"}}));
    EXPECT_NE(dump.find("STRING \"Supported device added\";"), std::string::npos) << dump;
    EXPECT_NE(dump.find("STRING \"PID\"; VARIANT \"x\" { INT64 5382; }"), std::string::npos)
        << dump;
    EXPECT_NE(dump.find("STRING \"VID\"; VARIANT \"x\" { INT64 4817; }"), std::string::npos)
        << dump;
    EXPECT_NE(dump.find("STRING \"fromDaemon\"; VARIANT \"s\" { STRING \"YES\"; }"),
              std::string::npos)
        << dump;
}

TEST(NotificationSignal, EveryValueKindHasAType) {
    struct Case {
        corvant::Value value;
        const char* expected;
    };
    const Case cases[] = {
        {true, "VARIANT \"b\" { BOOLEAN true; }"},
        {2.5, "VARIANT \"d\" { DOUBLE 2.5; }"},
        {corvant::Date{10.0}, "VARIANT \"d\" { DOUBLE 10; }"},
        {corvant::Data{{1, 2}}, "VARIANT \"ay\" { ARRAY \"y\" { BYTE 1; BYTE 2; }; }"},
        {corvant::Array{"a", corvant::Value(), 3},
         "VARIANT \"av\" { ARRAY \"v\" { VARIANT \"s\" { STRING \"a\"; }; VARIANT \"x\" { INT64 "
         "3; }; }; }"},
        {corvant::Dictionary{{"k", "v"}},
         "VARIANT \"a{sv}\" { ARRAY \"{sv}\" { DICT_ENTRY \"sv\" { STRING \"k\"; VARIANT \"s\" "
         "{ STRING \"v\"; }; }; }; }"},
    };
    for (const Case& c : cases) {
        std::string dump = squeezed(dumpOfSignal({{"key", c.value}}));
        EXPECT_NE(dump.find(c.expected), std::string::npos) << dump;
    }
}

TEST(NotificationSignal, AbsentValuesAreLeftOut) {
    std::string dump = squeezed(dumpOfSignal({{"gone", corvant::Value()}, {"kept", 1}}));
    EXPECT_EQ(dump.find("gone"), std::string::npos) << dump;
    EXPECT_NE(dump.find("kept"), std::string::npos) << dump;
}

TEST(ConsoleUserOfSession, GreeterAndNamelessSessionsAreNobody) {
    struct Case {
        const char* sessionClass;
        const char* userName;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"user", "user1", "user1"},        {"greeter", "gdm", std::nullopt},
        {"lock-screen", "user1", "user1"}, {"user", "", std::nullopt},
        {"Greeter", "gdm", "gdm"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(consoleUserOfSession(c.sessionClass, c.userName), c.expected)
            << c.sessionClass << " " << c.userName;
    }
}

}  // namespace
}  // namespace kelvorn::linux_backend
