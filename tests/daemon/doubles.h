// Test doubles of the platform services: a registry tree built per case, a console that answers a
// scripted sequence, and recorders for posts, waits, system-log lines and printed values; a test
// switches the console's user through the handler the daemon registered.
#pragma once

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daemon/daemon.h"

namespace kelvorn::testing {

class FakeEntry : public RegistryEntry {
  public:
    corvant::Dictionary properties;
    std::shared_ptr<FakeEntry> parentEntry;
    std::string name;

    corvant::Value property(const std::string& name) const override {
        return corvant::lookup(properties, name);
    }
    std::shared_ptr<RegistryEntry> parent() const override { return parentEntry; }
    std::string identity() const override { return name; }
};

// A serial entry for `baseName` and `suffix` below a chain of `height` ancestors; `idsDepth` says
// on which entry (0 the serial entry, 1 its parent, ...) the ids sit, if anywhere. The entries
// above the serial entry are named after `card`, so the ports of one card share them.
struct DeviceShape {
    std::string baseName = "ttyUSB";
    std::string suffix = "0";
    std::optional<int> idsDepth = 4;
    corvant::Value vendor = 4817;
    corvant::Value product = 5382;
    int height = 10;
    std::string card = "card";
};
std::shared_ptr<FakeEntry> makeDevice(const DeviceShape& shape);

class FakeBatch : public DeviceIterator {
  public:
    explicit FakeBatch(std::vector<std::shared_ptr<RegistryEntry>> entries = {})
        : entries_(std::move(entries)) {}
    std::shared_ptr<RegistryEntry> next() override {
        return taken_ < entries_.size() ? entries_[taken_++] : nullptr;
    }
    bool drained() const { return taken_ == entries_.size(); }

  private:
    std::vector<std::shared_ptr<RegistryEntry>> entries_;
    std::size_t taken_ = 0;
};

class FakeRegistry : public DeviceRegistry {
  public:
    bool matchable = true;
    std::vector<std::shared_ptr<RegistryEntry>> present;
    std::vector<std::string> registrations;
    Handler onArrival, onRemoval;
    std::shared_ptr<FakeBatch> firstArrivals;

    bool canMatchClass(const std::string& className) override {
        return matchable && className == kSerialDeviceClass;
    }
    std::shared_ptr<DeviceIterator> addMatchingNotification(const std::string& type,
                                                            const std::string& className,
                                                            Handler handler) override;
    // Delivers one batch as the run loop would; true when a handler took it and drained it.
    bool arrive(std::vector<std::shared_ptr<RegistryEntry>> entries) {
        return deliver(onArrival, entries);
    }
    bool leave(std::vector<std::shared_ptr<RegistryEntry>> entries) {
        return deliver(onRemoval, entries);
    }

  private:
    static bool deliver(Handler& handler, std::vector<std::shared_ptr<RegistryEntry>> entries);
};

// Answers the scripted names in turn, then keeps answering the last one.
class ScriptedConsole : public ConsoleUser {
  public:
    std::vector<std::optional<std::string>> answers{"alice"};
    std::optional<std::string> copyConsoleUser() override {
        return answers[std::min(asked_++, answers.size() - 1)];
    }

  private:
    std::size_t asked_ = 0;
};

struct Post {
    std::string name;
    corvant::Dictionary userInfo;
    unsigned options;
};

struct Doubles : ConsoleChanges,
                 PowerEvents,
                 ApplicationFinder,
                 NotificationCenter,
                 RunLoop,
                 Sleeper,
                 SystemLog,
                 ValuePrinter {
    FakeRegistry registry;
    ScriptedConsole console;
    ConsoleChanges::Handler consoleChangeHandler;
    PowerEvents::Handler powerHandler;
    std::optional<std::string> clientBundle;
    std::vector<Post> posts;
    bool postsFail = false;
    std::function<void()> runLoopBody;
    int runLoopRuns = 0;
    std::vector<unsigned> waits;
    std::function<void(unsigned)> onSleep;
    std::vector<std::string> systemLines;
    std::vector<corvant::Value> shown;
    Platform platform{registry, console, *this, *this, *this, *this, *this, *this, *this, *this};

    void addConsoleChangeNotification(ConsoleChanges::Handler handler) override {
        consoleChangeHandler = handler;
    }
    void addInterestNotification(PowerEvents::Handler handler) override { powerHandler = handler; }
    std::optional<std::string> findApplicationForBundleIdentifier(const std::string& id) override {
        return id == kClientBundleIdentifier ? clientBundle : std::nullopt;
    }
    bool postNotification(const std::string& name, const corvant::Dictionary& userInfo,
                          unsigned options) override {
        posts.push_back({name, userInfo, options});
        return !postsFail;
    }
    void run() override {
        ++runLoopRuns;
        if (runLoopBody) runLoopBody();
    }
    void sleepSeconds(unsigned seconds) override {
        waits.push_back(seconds);
        if (onSleep) onSleep(seconds);
    }
    void alert(const std::string& message) override { systemLines.push_back(message); }
    void show(const corvant::Value& value) override { shown.push_back(value); }
};

// (family, suffix, vendor id, product id) rows of a card list.
using CardRow = std::vector<std::string>;
corvant::Dictionary cardList(const std::vector<CardRow>& rows);

}  // namespace kelvorn::testing
