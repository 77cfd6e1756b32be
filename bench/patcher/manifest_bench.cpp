// Items per second through the check of a signed manifest: an unpacked update of N items (files in
// folders of 100), its manifest signed by the key the installation carries, checked whole (the
// signature, the manifest's items, the description and every item of the bundle). Run at 10,000
// and 100,000 items; time_ratio is the time of the larger over the smaller, 10 where the check is
// linear. The manifest is XML as ostrel-mkupdate writes it, or the same converted to a binary
// property list (plistutil), which Ostrel reads as well.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/plist.h"
#include "common/shell.h"
#include "mkupdate/manifest_writer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFilesPerFolder = 99;  // with their folder, 100 items

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

// The property list at `path` rewritten in binary form; its new bytes.
std::optional<std::string> toBinary(const std::string& path) {
    if (corvant::runShellCommand("plistutil -f bin -i " + path + " -o " + path + ".bin") != 0)
        return std::nullopt;
    fs::rename(path + ".bin", path);
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// An installation carrying a public key, and a signed update of `items` items for it.
struct SignedUpdate {
    std::string update;
    std::string application;
    std::string description;
    std::string error;

    SignedUpdate(const fs::path& base, int items, bool binary) {
        fs::remove_all(base);
        update = (base / "update").string();
        application = (base / "Applications/Solvane.app").string();
        fs::create_directories(application + "/Contents");
        fs::path bundle = fs::path(update) / "Solvane.app";
        for (int folder = 0; folder * (kFilesPerFolder + 1) < items; ++folder) {
            fs::path place = bundle / ("f" + std::to_string(folder));
            fs::create_directories(place);
            for (int file = 0; file < kFilesPerFolder; ++file)
                writeText(place / ("file" + std::to_string(file)), std::to_string(file));
        }
        description = update + "/UpdateInfo.plist";
        corvant::writeDictionaryToFile({{"InstalledApplicationName", "Solvane"}}, description);
        std::string key = (base / "vendor").string();
        std::optional<std::string> manifest = ostrel::manifestText(update, {"1.0", "2.0"}, error);
        std::optional<std::string> secret;
        if (manifest && ostrel::generateKeyPair(key, error))
            secret = ostrel::readSecretKey(key + ".key", error);
        if (!secret) return;
        writeText(update + "/UpdateManifest.plist", *manifest);
        if (binary) manifest = toBinary(update + "/UpdateManifest.plist");
        if (!manifest) {
            error = "plistutil cannot convert the manifest (is libplist-utils installed?)";
            return;
        }
        writeText(update + "/UpdateManifest.plist.sig", ostrel::signatureText(*manifest, *secret));
        std::ifstream publicKey(key + ".pub");
        std::string line;
        std::getline(publicKey, line);
        corvant::writeDictionaryToFile({{"CFBundleVersion", "1.0"}, {"OstrelPublicKey", line}},
                                       application + "/Contents/Info.plist");
    }
};

// Seconds of one check of `update`, none after setting `why` when it is refused.
std::optional<double> checkSeconds(const SignedUpdate& update, std::string& why) {
    std::ifstream file(update.description);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto start = Clock::now();
    ostrel::UpdateVerification verification =
        ostrel::verifyUpdate(update.update, update.application, bytes);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (verification.refusal) {
        why = *verification.refusal;
        return std::nullopt;
    }
    return seconds;
}

void BM_ManifestCheck(benchmark::State& state) {
    const fs::path base = fs::temp_directory_path() / "ostrel-manifest-bench";
    const int small = static_cast<int>(state.range(0));
    const int large = static_cast<int>(state.range(1));
    double smallSeconds = 0, largeSeconds = 0;
    for (auto _ : state) {
        std::string why;
        std::optional<double> seconds[2];
        int index = 0;
        for (int items : {small, large}) {
            SignedUpdate update(base / std::to_string(items), items, state.range(2) != 0);
            if (!update.error.empty()) why = update.error;
            if (why.empty()) seconds[index] = checkSeconds(update, why);
            ++index;
        }
        if (!seconds[0] || !seconds[1]) {
            state.SkipWithError(why.c_str());
            break;
        }
        smallSeconds += *seconds[0];
        largeSeconds += *seconds[1];
        state.SetIterationTime(*seconds[0] + *seconds[1]);
    }
    fs::remove_all(base);
    double runs = static_cast<double>(state.iterations());
    state.counters["items_per_s_" + std::to_string(small)] = small * runs / smallSeconds;
    state.counters["items_per_s_" + std::to_string(large)] = large * runs / largeSeconds;
    state.counters["time_ratio"] = largeSeconds / smallSeconds;
}

BENCHMARK(BM_ManifestCheck)
    ->ArgNames({"", "", "binary"})
    ->Args({10000, 100000, 0})
    ->Args({10000, 100000, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
