// An update of many files applied by the patcher, against the very same shell commands run bare:
// once from one shell script, and once one system() call each (the way the patcher runs them).
// The commands are taken from the patcher's own log, so both sides do exactly the same work.
// ratio_vs_system is the patcher's own overhead; ratio_vs_script adds the cost of starting one
// shell per command.
#include <benchmark/benchmark.h>
#include <stdlib.h>

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

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_UpdateOfManyFiles(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    const fs::path base = fs::temp_directory_path() / "ostrel-bench";
    double patcherSeconds = 0, scriptSeconds = 0, systemSeconds = 0;
    size_t commandCount = 0;
    for (auto _ : state) {
        Stage stage(base, files);
        auto start = Clock::now();
        int status = ostrel::runSoftwarePatcher({stage.patcher, stage.update}, stage.places);
        double patcher = secondsSince(start);
        if (status != 0) state.SkipWithError("the patcher failed");
        std::vector<std::string> commands = commandsFromLog(stage.logPath());
        commandCount = commands.size();

        Stage scriptStage(base, files);
        std::string script = (base.parent_path() / "ostrel-bench.sh").string();
        std::ofstream(script) << [&] {
            std::string text;
            for (const std::string& command : commands) text += command + "\n";
            return text;
        }();
        start = Clock::now();
        corvant::runShellCommand("/bin/sh " + script);
        scriptSeconds += secondsSince(start);

        Stage systemStage(base, files);
        start = Clock::now();
        for (const std::string& command : commands) corvant::runShellCommand(command);
        systemSeconds += secondsSince(start);

        patcherSeconds += patcher;
        state.SetIterationTime(patcher);
    }
    fs::remove_all(base);
    double runs = static_cast<double>(state.iterations());
    state.counters["commands"] = static_cast<double>(commandCount);
    state.counters["patcher_s"] = patcherSeconds / runs;
    state.counters["bare_script_s"] = scriptSeconds / runs;
    state.counters["bare_system_s"] = systemSeconds / runs;
    state.counters["ratio_vs_script"] = patcherSeconds / scriptSeconds;
    state.counters["ratio_vs_system"] = patcherSeconds / systemSeconds;
}

BENCHMARK(BM_UpdateOfManyFiles)
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
