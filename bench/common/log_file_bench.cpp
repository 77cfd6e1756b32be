// Cost of the log file: one line against a bare fprintf of the same line, and one trim.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/log_file.h"

namespace corvant {
namespace {

constexpr char kFormat[] = "Device added with vendor id %@ and product id %@ on port %d";
constexpr char kLine[] =
    "[USER] [2013-04-09 14:03:27:58] : Device added with vendor id 0x12d1 and product id 0x1001 on "
    "port 3\n";

class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern = std::filesystem::temp_directory_path().string() + "/ko-bench-XXXXXX";
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

LogFile::Places placesIn(const ScratchFolder& folder) {
    LogFile::Places places;
    places.localLibrary = folder.path();
    places.systemLog = [](const std::string&) {};
    return places;
}

std::FILE* openLineBuffered(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file != nullptr) std::setvbuf(file, nullptr, _IOLBF, BUFSIZ);
    return file;
}

void writeLogLine(LogFile& log) {
    log.writeLogToFileWithInfo("USER", 0, kFormat, "0x12d1", "0x1001", 3);
}

void BM_LogFileLine(benchmark::State& state) {
    ScratchFolder folder;
    auto log = LogFile::initWithFile(LogFile::Variant::Daemon, "Bench.log", 2, placesIn(folder));
    for (auto _ : state) writeLogLine(*log);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogFileLine);

void BM_BareFprintfLine(benchmark::State& state) {
    ScratchFolder folder;
    std::FILE* file = openLineBuffered(folder.path() + "/bare.log");
    for (auto _ : state) std::fprintf(file, "%s", kLine);
    std::fclose(file);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareFprintfLine);

// Both writers in one run, alternating batches so that both see the same machine state; the
// "ratio" counter is log lines per second over bare fprintf lines per second.
void BM_LogFileAgainstFprintf(benchmark::State& state) {
    constexpr int kBatch = 1000;
    ScratchFolder folder;
    auto log = LogFile::initWithFile(LogFile::Variant::Daemon, "Bench.log", 2, placesIn(folder));
    std::FILE* file = openLineBuffered(folder.path() + "/bare.log");
    std::chrono::duration<double> logTime{};
    std::chrono::duration<double> bareTime{};
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i) writeLogLine(*log);
        auto middle = Clock::now();
        for (int i = 0; i < kBatch; ++i) std::fprintf(file, "%s", kLine);
        auto end = Clock::now();
        logTime += middle - start;
        bareTime += end - middle;
    }
    std::fclose(file);
    const double lines = static_cast<double>(state.iterations()) * kBatch;
    state.counters["log_lines_per_s"] = lines / logTime.count();
    state.counters["fprintf_lines_per_s"] = lines / bareTime.count();
    state.counters["ratio"] = bareTime.count() / logTime.count();
}
BENCHMARK(BM_LogFileAgainstFprintf)->Unit(benchmark::kMillisecond);

// One line that carries a log of short lines just past 4 MiB, so the write includes a trim.
// Only that write is timed; preparing the 4 MiB file is not.
void BM_TrimJustOver4MiB(benchmark::State& state) {
    ScratchFolder folder;
    const std::string directory = folder.path() + "/Application Support/Corvant/Solvane";
    std::filesystem::create_directories(directory);
    const std::string path = directory + "/Bench.log";
    std::string content;
    while (content.size() < 4194304 - 60) content += std::string(kLine);
    for (auto _ : state) {
        std::filesystem::remove(path);
        std::ofstream(path, std::ios::binary) << content;
        auto log =
            LogFile::initWithFile(LogFile::Variant::Daemon, "Bench.log", 2, placesIn(folder));
        const auto start = std::chrono::steady_clock::now();
        writeLogLine(*log);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    if (std::filesystem::file_size(path) > 4096) state.SkipWithError("the log was not trimmed");
}
BENCHMARK(BM_TrimJustOver4MiB)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace corvant
