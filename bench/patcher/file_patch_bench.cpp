// Bytes and time of a delta update on a real tree between two releases: Python 3.11's standard
// library as Debian 12 installs it (3.11.2, /usr/lib/python3.11) and as pyenv builds 3.11.7. The
// pair is the pure-Python library both hold: compiled caches, extension modules, the static
// library, installed packages and the test suite (which Debian ships in packages of their own) are
// left out, and so are folders of the new tree that the old one has none of.
//
// It prints what an update ships whole (the changed and added files) against what a delta update
// ships (a patch per changed file where it is smaller, the rest whole), each as a share of the new
// tree's bytes, and times making every patch, applying every patch, and writing every changed file
// whole as a full update does (read from the update, written new, synced).
// Where either tree is missing (CI has no pyenv) it says so and measures nothing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/regular_file.h"
#include "patcher/file_patch.h"
#include "patcher/sha256.h"

namespace {

namespace fs = std::filesystem;

const char* const kOldTree = "/usr/lib/python3.11";
const char* const kNewTree = "/root/.pyenv/versions/3.11.7/lib/python3.11";

bool leftOut(const std::string& folder) {
    return folder == "__pycache__" || folder == "site-packages" || folder == "lib-dynload" ||
           folder == "test" || folder.rfind("config-", 0) == 0;
}

struct Tree {
    std::map<std::string, std::uint64_t> files;  // relative path, size
    std::set<std::string> folders{""};
};

Tree listTree(const std::string& root) {
    Tree tree;
    std::error_code code;
    for (fs::recursive_directory_iterator it(root, code), end; !code && it != end;
         it.increment(code)) {
        const std::string relative = fs::relative(it->path(), root).string();
        if (it->is_directory() && !it->is_symlink()) {
            if (leftOut(it->path().filename().string()))
                it.disable_recursion_pending();
            else
                tree.folders.insert(relative);
        } else if (it->is_regular_file() && !it->is_symlink()) {
            tree.files.emplace(relative, it->file_size());
        }
    }
    return tree;
}

std::string bytesOf(const std::string& path) {
    return corvant::readRegularFile(path, ostrel::kLargestPatchedFile).value_or("");
}

struct Changed {
    std::string path;
    ostrel::FileIdentity base, result;
    std::optional<std::string> patch;  // none: it ships whole
};

// The pair: what changed, what was added, and the new tree's bytes.
struct Pair {
    std::vector<Changed> changed;
    std::uint64_t newTreeBytes = 0, newTreeFiles = 0, unchanged = 0, added = 0, addedBytes = 0,
                  removed = 0;
    bool patchesMade = false;

    Pair() {
        const Tree old = listTree(kOldTree), next = listTree(kNewTree);
        for (const auto& [path, size] : next.files) {
            if (!old.folders.count(fs::path(path).parent_path().string())) continue;
            ++newTreeFiles;
            newTreeBytes += size;
            if (!old.files.count(path)) {
                ++added;
                addedBytes += size;
                continue;
            }
            const std::string before = bytesOf(std::string(kOldTree) + "/" + path);
            const std::string after = bytesOf(std::string(kNewTree) + "/" + path);
            if (before == after) {
                ++unchanged;
                continue;
            }
            changed.push_back({path,
                               {before.size(), ostrel::sha256Hex(before)},
                               {after.size(), ostrel::sha256Hex(after)},
                               std::nullopt});
        }
        for (const auto& entry : old.files) removed += next.files.count(entry.first) ? 0 : 1;
    }
};

Pair& thePair() {
    static Pair pair;
    return pair;
}

// A scratch folder, emptied and made again.
std::string freshFolder(const std::string& name) {
    const std::string folder =
        (fs::temp_directory_path() / ("ko-file-patch-bench-" + name)).string();
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string flat(const std::string& path) {
    std::string name = path;
    for (char& c : name)
        if (c == '/') c = '!';
    return name;
}

void MakePatches(benchmark::State& state) {
    Pair& pair = thePair();
    std::uint64_t wholeBytes = pair.addedBytes, deltaBytes = pair.addedBytes, patched = 0;
    for (auto _ : state) {
        wholeBytes = deltaBytes = pair.addedBytes;
        patched = 0;
        for (Changed& file : pair.changed) {
            ostrel::PatchMaking made = ostrel::makeFilePatch(
                std::string(kOldTree) + "/" + file.path, std::string(kNewTree) + "/" + file.path);
            if (made.failed) state.SkipWithError(made.why.c_str());
            wholeBytes += file.result.size;
            deltaBytes += made.patch ? made.patch->size() : file.result.size;
            patched += made.patch ? 1 : 0;
            file.patch = std::move(made.patch);
        }
    }
    pair.patchesMade = true;
    const double tree = static_cast<double>(pair.newTreeBytes);
    state.counters["new_tree_files"] = static_cast<double>(pair.newTreeFiles);
    state.counters["new_tree_bytes"] = tree;
    state.counters["changed"] = static_cast<double>(pair.changed.size());
    state.counters["added"] = static_cast<double>(pair.added);
    state.counters["patched"] = static_cast<double>(patched);
    state.counters["whole_bytes"] = static_cast<double>(wholeBytes);
    state.counters["delta_bytes"] = static_cast<double>(deltaBytes);
    state.counters["whole_share"] = static_cast<double>(wholeBytes) / tree;
    state.counters["delta_share"] = static_cast<double>(deltaBytes) / tree;
    std::printf(
        "pair: %llu files in the new tree (%llu bytes), %llu unchanged, %zu changed, %llu added, "
        "%llu removed; whole %llu bytes (%.2f %%), delta %llu bytes (%.2f %%), %.1f times "
        "smaller\n",
        static_cast<unsigned long long>(pair.newTreeFiles),
        static_cast<unsigned long long>(pair.newTreeBytes),
        static_cast<unsigned long long>(pair.unchanged), pair.changed.size(),
        static_cast<unsigned long long>(pair.added), static_cast<unsigned long long>(pair.removed),
        static_cast<unsigned long long>(wholeBytes), 100.0 * static_cast<double>(wholeBytes) / tree,
        static_cast<unsigned long long>(deltaBytes), 100.0 * static_cast<double>(deltaBytes) / tree,
        static_cast<double>(wholeBytes) / static_cast<double>(deltaBytes));
}

// Times `make` on every patched file, each iteration into a fresh folder of results; `make` says
// why it made no result.
template <typename Make>
void timeEveryPatchedFile(benchmark::State& state, Make make) {
    for (auto _ : state) {
        state.PauseTiming();
        const std::string results = freshFolder("results");
        state.ResumeTiming();
        for (const Changed& file : thePair().changed) {
            if (!file.patch) continue;
            if (std::optional<std::string> why = make(file, results + "/" + flat(file.path)))
                state.SkipWithError((file.path + ": " + *why).c_str());
        }
    }
}

void ApplyPatches(benchmark::State& state) {
    if (!thePair().patchesMade) {
        state.SkipWithError("the patches are made by MakePatches first");
        return;
    }
    const std::string patches = freshFolder("patches");
    for (const Changed& file : thePair().changed)
        if (file.patch) writeBytes(patches + "/" + flat(file.path), *file.patch);
    timeEveryPatchedFile(state, [&patches](const Changed& file, const std::string& result) {
        return ostrel::applyFilePatch(std::string(kOldTree) + "/" + file.path, file.base,
                                      patches + "/" + flat(file.path), result, file.result, 0644)
            .refusal;
    });
}

// What a full update's copy of the same files costs: each read from the update, written new and
// synced, as a patch's result is.
void WriteWhole(benchmark::State& state) {
    timeEveryPatchedFile(state, [](const Changed& file, const std::string& result) {
        const std::string bytes = bytesOf(std::string(kNewTree) + "/" + file.path);
        const int descriptor = ::open(result.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        const bool written = descriptor >= 0 &&
                             corvant::writeAll(descriptor, bytes.data(), bytes.size()) &&
                             ::fsync(descriptor) == 0;
        if (descriptor >= 0) ::close(descriptor);
        return written ? std::nullopt : std::optional<std::string>("cannot be written");
    });
}

BENCHMARK(MakePatches)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ApplyPatches)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(WriteWhole)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    for (const char* tree : {kOldTree, kNewTree})
        if (!fs::is_directory(tree)) {
            std::printf("file_patch_bench: skipped: %s is not here\n", tree);
            return 0;
        }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const char* name : {"patches", "results"})
        fs::remove_all(fs::temp_directory_path() / (std::string("ko-file-patch-bench-") + name));
    return 0;
}
