// A small program that drives the Linux services the way the daemon does and prints what they
// report, one line each, so that a test can check them against umockdev devices and a mock logind.
// Commands, one per line on standard input:
//   watch           register for arrivals and removals; prints "present ..." lines, then "watching"
//   power           register for power messages; prints "power 0x..." for each
//   console         prints "console <name>" or "console nobody"
//   switches        register for changes of seat0's active session; prints "switched <name>" or
//                   "switched nobody" for each
//   find <id>       prints "found <path>" or "found none"
//   post <name>     posts <name> with VID 4817, PID 5382, fromDaemon YES; prints "posted" or
//                   "not posted"
//   block <seconds> waits inside the handler, as the daemon's waits do; prints "unblocked"
//   quit            leaves the run loop
// The daemon's objects are served as they would be with one supported port present.
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "common/format.h"
#include "platform/linux/linux_platform.h"

namespace {

using kelvorn::linux_backend::LinuxServices;
using kelvorn::linux_backend::SnapshotEntry;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string text(const corvant::Value& value) {
    return corvant::describe(value);
}

// "ttyUSB0 base=ttyUSB suffix=0 fourth=1-1.4 vid=4817 pid=5382 kinds=tty<port<..."
std::string describeEntry(const std::shared_ptr<kelvorn::RegistryEntry>& tty) {
    std::ostringstream out;
    out << text(tty->property("IOTTYDevice")) << " base=" << text(tty->property("IOTTYBaseName"))
        << " suffix=" << text(tty->property("IOTTYSuffix"));
    std::string kinds;
    std::shared_ptr<kelvorn::RegistryEntry> entry = tty;
    for (int level = 0; entry != nullptr; ++level, entry = entry->parent()) {
        auto* snapshot = dynamic_cast<SnapshotEntry*>(entry.get());
        kinds += (level == 0 ? "" : "<") + (snapshot ? snapshot->kind() : "?");
        if (level == 4) {
            out << " fourth=" << (snapshot ? snapshot->name() : "?")
                << " vid=" << text(entry->property("idVendor"))
                << " pid=" << text(entry->property("idProduct"));
        }
    }
    out << " kinds=" << kinds;
    return out.str();
}

std::string describeBatch(kelvorn::DeviceIterator& iterator) {
    std::string line;
    while (auto entry = iterator.next()) line += (line.empty() ? "" : "; ") + describeEntry(entry);
    return line;
}

class Probe {
  public:
    explicit Probe(LinuxServices& services) : services_(services), platform_(services.platform()) {}

    void handle(const std::string& line) {
        std::istringstream words(line);
        std::string command, argument;
        words >> command;
        std::getline(words >> std::ws, argument);
        if (command == "watch") return watch();
        if (command == "power") return watchPower();
        if (command == "switches") return watchSwitches();
        if (command == "console") {
            auto user = platform_.console.copyConsoleUser();
            return say("console " + user.value_or("nobody"));
        }
        if (command == "find") {
            auto path = platform_.applications.findApplicationForBundleIdentifier(argument);
            return say("found " + path.value_or("none"));
        }
        if (command == "post") {
            const bool posted = platform_.notifications.postNotification(
                argument, {{"VID", 4817}, {"PID", 5382}, {"fromDaemon", "YES"}},
                kelvorn::kPostToAllSessions);
            return say(posted ? "posted" : "not posted");
        }
        if (command == "block") {
            platform_.sleeper.sleepSeconds(static_cast<unsigned>(std::stoul(argument)));
            return say("unblocked");
        }
        if (command == "quit") return services_.loop().exit();
        say("unknown " + command);
    }

  private:
    void watch() {
        auto& registry = platform_.registry;
        if (!registry.canMatchClass(kelvorn::kSerialDeviceClass)) return say("no matching");
        auto present = registry.addMatchingNotification(
            kelvorn::kFirstMatchNotification, kelvorn::kSerialDeviceClass,
            [](kelvorn::DeviceIterator& batch) { say("arrived " + describeBatch(batch)); });
        auto gone = registry.addMatchingNotification(
            kelvorn::kTerminateNotification, kelvorn::kSerialDeviceClass,
            [](kelvorn::DeviceIterator& batch) { say("removed " + describeBatch(batch)); });
        while (auto entry = present->next()) say("present " + describeEntry(entry));
        if (gone->next() != nullptr) say("unexpected removal at start");
        say("watching");
    }

    void watchPower() {
        platform_.power.addInterestNotification([](std::uint32_t message) {
            char line[32];
            std::snprintf(line, sizeof line, "power 0x%08X", message);
            say(line);
        });
        say("power watched");
    }

    void watchSwitches() {
        platform_.consoleChanges.addConsoleChangeNotification(
            [](const std::optional<std::string>& user) {
                say("switched " + user.value_or("nobody"));
            });
        say("switches watched");
    }

    LinuxServices& services_;
    kelvorn::Platform platform_;
};

struct OnePort final : kelvorn::DeviceQueries {
    std::vector<kelvorn::SupportedPort> ports{{"/sys/devices/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0",
                                               "/sys/devices/usb1/1-2", 4817, 5382, "/dev/ttyUSB0",
                                               "ttyUSB", "0", "E3372"}};
    const std::vector<kelvorn::SupportedPort>& supportedPorts() const override { return ports; }
    kelvorn::DaemonStatus status() const override { return {"watching", "user1", "", 2, "0"}; }
};

struct Input {
    Probe& probe;
    std::string pending;
};

int onInput(sd_event_source* source, int fd, std::uint32_t, void* userdata) {
    auto& input = *static_cast<Input*>(userdata);
    char buffer[4096];
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) {
        // End of input: stop as "quit" would.
        sd_event_exit(sd_event_source_get_event(source), 0);
        return 0;
    }
    input.pending.append(buffer, static_cast<std::size_t>(count));
    for (auto end = input.pending.find('\n'); end != std::string::npos;
         end = input.pending.find('\n')) {
        std::string line = input.pending.substr(0, end);
        input.pending.erase(0, end + 1);
        input.probe.handle(line);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Optional folders for the application lookup: applications folder, users folder.
    LinuxServices services(argc > 1 ? argv[1] : "/Applications", argc > 2 ? argv[2] : "/Users");
    // As the daemon does; a bus that refuses the name still carries the probe's signals.
    OnePort queries;
    services.answerQueries(queries);
    services.takeBusName();
    Probe probe(services);
    Input input{probe, {}};
    sd_event_source* stdinSource = nullptr;
    if (sd_event_add_io(services.loop().event(), &stdinSource, STDIN_FILENO, EPOLLIN, &onInput,
                        &input) < 0) {
        return 2;
    }
    say("ready");
    services.loop().run();
    sd_event_source_disable_unref(stdinSource);
    return 0;
}
