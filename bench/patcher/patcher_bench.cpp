// An update of many files applied by the patcher, against the very same commands run bare: once
// from one shell script, and once through one system() call each (a shell per command). The
// commands are taken from the patcher's own log, so both sides do exactly the same work.
// ratio_vs_script is the patcher's cost over a script of its commands; ratio_vs_system compares it
// with starting a shell per command. ratio_vs_rsync compares it with the anchor a user knows: the
// same change made by "rsync -a --delete" of the new bundle over a copy of the old one.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/plist.h"
#include "common/shell.h"
#include "mkupdate/manifest_writer.h"
#include "patcher/driver.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// A fresh installation, user folder and unpacked update of `files` files below `base`.
struct Stage {
    fs::path base;
    ostrel::Places places;
    std::string update;
    std::string patcher;

    Stage(const fs::path& root, int files) : base(root) {
        fs::remove_all(base);
        places.homeFolder = (base / "home").string();
        places.applicationsFolder = (base / "Applications").string();
        update = (base / "update").string();
        patcher = (base / "patcher/Ostrel").string();
        std::string bundle = places.applicationsFolder + "/Solvane.app";
        std::string support = places.homeFolder + "/Library/Application Support/Corvant";
        writeText(support + "/Solvane/Directory/installer.ini", "ApplicationName=\"Solvane\"\n");
        writeText(bundle + "/Contents/Info.plist", "installed");
        writeText(bundle +
                      "/Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/Directory/"
                      "installer.ini",
                  "ApplicationName=\"Solvane\"\n");
        writeText(patcher, "stands in for the executable");
        corvant::Array copies;
        for (int i = 0; i < files; ++i) {
            std::string name = "file" + std::to_string(i) + ".dat";
            writeText(bundle + "/Contents/Resources/files/" + name, "old " + name);
            std::string source = update + "/Solvane.app/Contents/Resources/files/" + name;
            writeText(source, "new " + name);
            corvant::Dictionary entry;
            entry["ActualFileName"] = name;
            entry["filePath"] = bundle + "/Contents/Resources/files";
            entry["unzippedFilePath"] = source;
            copies.emplace_back(std::move(entry));
        }
        corvant::Dictionary description;
        description["InstalledApplicationName"] = "Solvane";
        description["toBeCopied"] = std::move(copies);
        corvant::writeDictionaryToFile(description, update + "/UpdateInfo.plist");
    }
    std::string logPath() const {
        return places.homeFolder +
               "/Library/Application Support/Corvant/Solvane/SoftwarePatcher.log";
    }
};

// The commands the patcher logged, in the order it ran them.
std::vector<std::string> commandsFromLog(const std::string& logPath) {
    static const std::array<std::string, 9> markers = {
        "Excecuting ",
        "] : Executing : ",
        "] : Executing  : ",
        "] : Removing existing files before copying  : ",
        "] : Deleting the tmp folder, Executing :",
        "] : Removing Backup Folder, Executing :",
        "] : Copying Latest Directory Files back to application, Executing :",
        "] : Deleting Existing Patcher Folder, Executing :",
        "] : Launching Application, Executing :",
    };
    std::vector<std::string> commands;
    std::ifstream log(logPath);
    for (std::string line; std::getline(log, line);) {
        for (const std::string& marker : markers) {
            auto at = line.find(marker);
            if (at != std::string::npos && (marker[0] != 'E' || at == 0)) {
                commands.push_back(line.substr(at + marker.size()));
                break;
            }
        }
    }
    return commands;
}

// Each timed side starts once the staged files are on disk, so that none pays for writing back
// what the staging of another left dirty.
Clock::time_point settledStart() {
    ::sync();
    return Clock::now();
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_UpdateOfManyFiles(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    const fs::path base = fs::temp_directory_path() / "ostrel-bench";
    double patcherSeconds = 0, scriptSeconds = 0, systemSeconds = 0, rsyncSeconds = 0;
    const fs::path newVersion = base.parent_path() / "ostrel-bench-new";
    size_t commandCount = 0;
    for (auto _ : state) {
        Stage stage(base, files);
        auto start = settledStart();
        int status = ostrel::runSoftwarePatcher({stage.patcher, stage.update}, stage.places);
        double patcher = secondsSince(start);
        if (status != 0) state.SkipWithError("the patcher failed");
        std::vector<std::string> commands = commandsFromLog(stage.logPath());
        commandCount = commands.size();
        fs::remove_all(newVersion);  // the patched bundle is the new version
        fs::copy(stage.places.applicationsFolder + "/Solvane.app", newVersion,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);

        Stage scriptStage(base, files);
        std::string script = (base.parent_path() / "ostrel-bench.sh").string();
        std::ofstream(script) << [&] {
            std::string text;
            for (const std::string& command : commands) text += command + "\n";
            return text;
        }();
        start = settledStart();
        corvant::runShellCommand("/bin/sh " + script);
        scriptSeconds += secondsSince(start);

        Stage systemStage(base, files);
        start = settledStart();
        for (const std::string& command : commands) corvant::runShellCommand(command);
        systemSeconds += secondsSince(start);

        Stage rsyncStage(base, files);
        start = settledStart();
        if (corvant::runShellCommand("rsync -a --delete " + newVersion.string() + "/ " +
                                     rsyncStage.places.applicationsFolder + "/Solvane.app/") != 0)
            state.SkipWithError("rsync failed (is it installed?)");
        rsyncSeconds += secondsSince(start);

        patcherSeconds += patcher;
        state.SetIterationTime(patcher);
    }
    fs::remove_all(base);
    fs::remove_all(newVersion);
    double runs = static_cast<double>(state.iterations());
    state.counters["commands"] = static_cast<double>(commandCount);
    state.counters["patcher_s"] = patcherSeconds / runs;
    state.counters["bare_script_s"] = scriptSeconds / runs;
    state.counters["bare_system_s"] = systemSeconds / runs;
    state.counters["rsync_s"] = rsyncSeconds / runs;
    state.counters["ratio_vs_rsync"] = patcherSeconds / rsyncSeconds;
    state.counters["ratio_vs_script"] = patcherSeconds / scriptSeconds;
    state.counters["ratio_vs_system"] = patcherSeconds / systemSeconds;
}

BENCHMARK(BM_UpdateOfManyFiles)
    ->Arg(2000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// The same update, signed, for an installation that carries the public key: what checking its
// manifest and signature costs against the whole run, which includes that check.
void BM_SignedUpdateOfManyFiles(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    const fs::path base = fs::temp_directory_path() / "ostrel-bench";
    double verifySeconds = 0, patcherSeconds = 0;
    for (auto _ : state) {
        Stage stage(base, files);
        std::string error;
        std::string key = (base / "vendor").string();
        std::optional<std::string> manifest =
            ostrel::manifestText(stage.update, {"1.0", "2.0"}, error);
        std::optional<std::string> secret;
        if (ostrel::generateKeyPair(key, error))
            secret = ostrel::readSecretKey(key + ".key", error);
        if (!manifest || !secret) {
            state.SkipWithError(error.c_str());
            break;
        }
        writeText(stage.update + "/UpdateManifest.plist", *manifest);
        writeText(stage.update + "/UpdateManifest.plist.sig",
                  ostrel::signatureText(*manifest, *secret));
        std::string application = stage.places.applicationsFolder + "/Solvane.app";
        std::ifstream publicKey(key + ".pub");
        std::string line;
        std::getline(publicKey, line);
        corvant::writeDictionaryToFile({{"OstrelPublicKey", line}, {"CFBundleVersion", "1.0"}},
                                       application + "/Contents/Info.plist");
        std::ifstream file(stage.update + "/UpdateInfo.plist");
        std::string description((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());

        auto start = settledStart();
        ostrel::UpdateVerification verification =
            ostrel::verifyUpdate(stage.update, application, description);
        double verify = secondsSince(start);
        if (verification.refusal) state.SkipWithError(verification.refusal->c_str());
        start = settledStart();
        int status = ostrel::runSoftwarePatcher({stage.patcher, stage.update}, stage.places);
        double patcher = secondsSince(start);
        if (status != 0) state.SkipWithError("the patcher failed");
        verifySeconds += verify;
        patcherSeconds += patcher;
        state.SetIterationTime(patcher);
    }
    fs::remove_all(base);
    double runs = static_cast<double>(state.iterations());
    state.counters["verify_s"] = verifySeconds / runs;
    state.counters["patcher_s"] = patcherSeconds / runs;
    state.counters["verify_share"] = verifySeconds / patcherSeconds;
}

BENCHMARK(BM_SignedUpdateOfManyFiles)
    ->Arg(2000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    // The relaunch at the end must not start anything: a no-op `open` comes first on PATH.
    fs::path stubs = fs::temp_directory_path() / "ostrel-bench-stubs";
    writeText(stubs / "open", "#!/bin/sh\nexit 0\n");
    fs::permissions(stubs / "open", fs::perms::owner_all);
    setenv("PATH", (stubs.string() + ":" + getenv("PATH")).c_str(), 1);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(stubs);
    return 0;
}
