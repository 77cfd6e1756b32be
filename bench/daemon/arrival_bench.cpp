// One batch of 100 supported serial devices through the arrival handler, on test doubles.
//
// "OwnCode" replaces the two shell commands (process listing, launch) with no-ops, so its time is
// the daemon's own work per device: registry reads, id search, card list lookups, installer.ini
// location, log lines and the post. "RealShell" runs them through /bin/sh with stub ps and open
// first on PATH, for comparison. Both count how often the card list file is opened per batch.
#include <benchmark/benchmark.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/plist.h"
#include "doubles.h"

namespace kelvorn::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kDevicesPerBatch = 100;
constexpr const char* kCardListInBundle =
    "Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/MBConfig/MDCardList";

class BenchRoot {
  public:
    BenchRoot() {
        char pattern[] = "/tmp/kelvorn-bench-XXXXXX";
        root_ = mkdtemp(pattern);
        std::vector<CardRow> rows;
        for (int port = 0; port < kDevicesPerBatch; ++port) {
            rows.push_back({"ttyUSB", std::to_string(port), "4817", "5382"});
        }
        cardListPath_ = (root_ / "Applications/Solvane.app" / kCardListInBundle).string();
        fs::create_directories(fs::path(cardListPath_).parent_path());
        corvant::writeDictionaryToFile(cardList(rows), cardListPath_);
        const fs::path bin = root_ / "bin";
        fs::create_directories(bin);
        std::ofstream(bin / "ps") << "#!/bin/sh\necho '  1 ??  0:01.00 Solvane'\n";
        std::ofstream(bin / "open") << "#!/bin/sh\nexit 0\n";
        fs::permissions(bin / "ps", fs::perms::owner_all);
        fs::permissions(bin / "open", fs::perms::owner_all);
        savedPath_ = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (bin.string() + ":" + savedPath_).c_str(), 1);
    }
    ~BenchRoot() {
        setenv("PATH", savedPath_.c_str(), 1);
        fs::remove_all(root_);
    }

    DaemonPlaces places() const {
        DaemonPlaces places{(root_ / "Applications").string(), (root_ / "Users").string(), {}};
        places.log.localLibrary = (root_ / "Library").string();
        return places;
    }
    const std::string& cardListPath() const { return cardListPath_; }

  private:
    fs::path root_;
    std::string cardListPath_;
    std::string savedPath_;
};

std::vector<std::shared_ptr<RegistryEntry>> supportedDevices() {
    std::vector<std::shared_ptr<RegistryEntry>> devices;
    for (int port = 0; port < kDevicesPerBatch; ++port) {
        devices.push_back(makeDevice({.suffix = std::to_string(port)}));
    }
    return devices;
}

int opensSeen(int watch) {
    alignas(inotify_event) char events[4096];
    int opens = 0;
    for (ssize_t bytes; (bytes = read(watch, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < bytes;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            opens += (event->mask & IN_OPEN) ? 1 : 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return opens;
}

void runBatches(benchmark::State& state, const ShellCommands& commands) {
    BenchRoot root;
    Doubles doubles;
    doubles.clientBundle = root.places().applicationsFolder + "/Solvane.app";
    DaemonOptions options;
    options.commands = commands;
    Daemon daemon(doubles.platform, root.places(), options);
    daemon.state.MDCardListPath = root.cardListPath();
    daemon.state.CurrentUser = "alice";
    const auto devices = supportedDevices();

    // One batch outside the timing, to count how often it opens the card list. Closes are watched
    // too, so that repeated opens are not merged into one event.
    const int watch = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(watch, root.cardListPath().c_str(), IN_OPEN | IN_CLOSE_NOWRITE);
    FakeBatch counted(devices);
    daemon.mycallbacknotifaction(counted);
    state.counters["card_list_reads_per_batch"] = opensSeen(watch);
    close(watch);

    for (auto _ : state) {
        doubles.posts.clear();
        FakeBatch batch(devices);
        daemon.mycallbacknotifaction(batch);
        benchmark::DoNotOptimize(doubles.posts.data());
    }
    if (doubles.posts.size() != kDevicesPerBatch) {
        state.SkipWithError("not every device was announced");
    }
    state.counters["per_device"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kDevicesPerBatch,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void OwnCode(benchmark::State& state) {
    ShellCommands noShell{[](const std::string&, std::size_t, const std::vector<std::string>&) {
                              return std::string("1");
                          },
                          [](const std::string&) { return 0; }};
    runBatches(state, noShell);
}

void RealShell(benchmark::State& state) {
    runBatches(state, ShellCommands::realShell());
}

BENCHMARK(OwnCode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RealShell)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
}  // namespace kelvorn::testing

BENCHMARK_MAIN();
