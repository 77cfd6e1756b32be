// A delta update of a real tree, end to end: Python 3.11's standard library with its test suite,
// as Debian 12 installs it (3.11.2, the suite from libpython3.11-testsuite) and as pyenv builds
// 3.11.7, laid out as versions 1.0 and 2.0 of the bundle (Contents/Resources/python3.11). The built
// ostrel-mkupdate makes the whole-file update and the delta update of the pair, and the built
// Ostrel applies each, one run each, to an installation of 1.0 in a private root (bubblewrap) on
// the disk; each result must be the new bundle.
//
// It prints each update folder's bytes against the new bundle's, the time of each make and each
// run (the run's includes bubblewrap's few milliseconds), the delta run's time over the whole
// one's, and each run's peak resident set: that of its largest process, Ostrel or a command it
// starts. Where a tree or bubblewrap is missing it says so and measures nothing.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/plist.h"

namespace {

namespace fs = std::filesystem;

const char* const kOldTree = "/usr/lib/python3.11";
const char* const kNewTree = "/root/.pyenv/versions/3.11.7/lib/python3.11";
const char* const kSuiteFile = "test/test_grammar.py";  // one file of each tree's test suite
const std::string kHome = "/Users/bench";
const std::string kUnpacked = kHome + "/update";

// What neither version's bundle holds: compiled caches, extension modules, the static library,
// installed packages.
bool leftOut(const fs::path& folder) {
    const std::string name = folder.filename().string();
    return name == "__pycache__" || name == "site-packages" || name == "lib-dynload" ||
           name.rfind("config-", 0) == 0;
}

bool holdsFiles(const fs::path& folder) {
    std::error_code absent;
    for (fs::directory_iterator it(folder, absent), end; !absent && it != end; ++it)
        if (it->is_regular_file()) return true;
    return false;
}

// Lays `tree` out as `version` of the bundle. With `old`, the release before: only the files of
// folders that hold files there too, so that the pair is the library both releases ship (Debian
// ships tkinter, idlelib and pip's wheels in packages of their own, leaving their folders empty or
// holding only tests).
void layOut(const fs::path& tree, const fs::path& bundle, const std::string& version,
            const fs::path& old = {}) {
    const fs::path resources = bundle / "Contents/Resources/python3.11";
    fs::create_directories(resources);
    corvant::writeDictionaryToFile(
        {{"CFBundleIdentifier", "com.Corvant.Solvane"}, {"CFBundleVersion", version}},
        (bundle / "Contents/Info.plist").string());
    std::map<fs::path, bool> shared;  // folder -> whether `old` holds files in it
    for (fs::recursive_directory_iterator it(tree), end; it != end; ++it) {
        const fs::path relative = it->path().lexically_relative(tree);
        const fs::path folder = relative.parent_path();
        if (!old.empty() && !shared.count(folder)) shared[folder] = holdsFiles(old / folder);
        if (it->is_directory() && !it->is_symlink()) {
            if (leftOut(relative) || (!old.empty() && !fs::is_directory(old / relative)))
                it.disable_recursion_pending();
            else
                fs::create_directory(resources / relative);
        } else if (old.empty() || shared[folder]) {
            if (it->is_symlink())
                fs::copy_symlink(it->path(), resources / relative);
            else if (it->is_regular_file())
                fs::copy_file(it->path(), resources / relative);
        }
    }
}

std::uint64_t bytesIn(const fs::path& folder) {
    std::uint64_t bytes = 0;
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it)
        if (it->is_regular_file() && !it->is_symlink()) bytes += it->file_size();
    return bytes;
}

struct Timed {
    bool succeeded = false;
    double seconds = 0;
    long peakKiB = 0;  // the largest resident set of the process and those it waited for
};

// Runs `command` with its output in `log`, timing it and taking its peak resident set.
Timed runTimed(const std::vector<std::string>& command, const fs::path& log) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        if (!std::freopen(log.c_str(), "w", stdout) || ::dup2(STDOUT_FILENO, STDERR_FILENO) < 0)
            ::_exit(127);
        std::vector<char*> arguments;
        for (const std::string& word : command)
            arguments.push_back(const_cast<char*>(word.c_str()));
        arguments.push_back(nullptr);
        ::execvp(arguments[0], arguments.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    Timed timed;
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return timed;
    timed.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    timed.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    timed.peakKiB = usage.ru_maxrss;
    return timed;
}

// A private root whose /Applications, /Library and /Users are folders of `root` on the disk, the
// host's other top-level folders shown read-only.
std::vector<std::string> privateRoot(const fs::path& root) {
    std::vector<std::string> words{"bwrap", "--die-with-parent", "--cap-drop", "ALL"};
    if (::geteuid() != 0) words.push_back("--unshare-user");
    for (const fs::directory_entry& entry : fs::directory_iterator("/")) {
        const std::string path = entry.path().string();
        if (path == "/proc" || path == "/dev" || path == "/tmp" || path == "/Applications" ||
            path == "/Library" || path == "/Users")
            continue;
        if (entry.is_symlink())
            words.insert(words.end(), {"--symlink", fs::read_symlink(path).string(), path});
        else if (entry.is_directory())
            words.insert(words.end(), {"--ro-bind", path, path});
    }
    words.insert(words.end(), {"--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp"});
    for (const char* folder : {"/Applications", "/Library", "/Users"}) {
        fs::create_directories(root.string() + folder);
        words.insert(words.end(), {"--bind", root.string() + folder, folder});
    }
    words.insert(words.end(), {"--setenv", "HOME", kHome, "--setenv", "PATH", "/usr/bin:/bin",
                               "--chdir", kHome, "--"});
    return words;
}

struct Update {
    const char* kind;
    Timed make, apply;
    std::uint64_t bytes = 0;
};

// Makes the update of `pair` into a fresh private root holding 1.0, then applies it there.
bool makeAndApply(const fs::path& pair, Update& update, const std::vector<std::string>& options) {
    const fs::path root = pair / (std::string("root-") + update.kind);
    const fs::path home = root.string() + kHome;
    fs::create_directories(home);
    std::vector<std::string> make{MKUPDATE_EXECUTABLE, "--unpack-root", kUnpacked};
    make.insert(make.end(), options.begin(), options.end());
    make.insert(make.end(), {(pair / "old.app").string(), (pair / "new.app").string(),
                             root.string() + kUnpacked});
    update.make = runTimed(make, pair / (std::string("make-") + update.kind + ".log"));
    if (!update.make.succeeded) return false;
    update.bytes = bytesIn(root.string() + kUnpacked);

    const fs::path installed = root / "Applications/Solvane.app";
    fs::create_directories(installed.parent_path());
    fs::copy(pair / "old.app", installed,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::create_directories(home / "run");
    fs::copy_file(OSTREL_EXECUTABLE, home / "run/Ostrel");
    fs::create_directories(home / "kelvorn");  // the relaunch's "open", beside the patcher's folder
    std::ofstream(home / "kelvorn/open") << "#!/bin/sh\n";
    fs::permissions(home / "kelvorn/open", fs::perms::owner_all);
    std::vector<std::string> apply = privateRoot(root);
    apply.insert(apply.end(), {kHome + "/run/Ostrel", kUnpacked});
    update.apply = runTimed(apply, pair / (std::string("apply-") + update.kind + ".log"));
    return update.apply.succeeded && runTimed({"diff", "-rq", "--no-dereference",
                                               installed.string(), (pair / "new.app").string()},
                                              pair / (std::string("diff-") + update.kind + ".log"))
                                         .succeeded;
}

double megabytes(std::uint64_t bytes) {
    return static_cast<double>(bytes) / 1e6;
}

}  // namespace

int main() {
    for (const char* tree : {kOldTree, kNewTree}) {
        if (!fs::is_directory(tree)) {
            std::printf("delta_update_bench: skipped: %s is not here\n", tree);
            return 0;
        }
        if (!fs::exists(fs::path(tree) / kSuiteFile)) {
            std::printf(
                "delta_update_bench: skipped: %s lacks its test suite (%s; Debian's is in "
                "libpython3.11-testsuite)\n",
                tree, kSuiteFile);
            return 0;
        }
    }
    if (std::system("bwrap --ro-bind / / true >/dev/null 2>&1") != 0) {
        std::printf("delta_update_bench: skipped: bubblewrap cannot make a private root here\n");
        return 0;
    }
    const fs::path pair = fs::temp_directory_path() / "ko-delta-update-bench";
    fs::remove_all(pair);
    layOut(kOldTree, pair / "old.app", "1.0");
    layOut(kNewTree, pair / "new.app", "2.0", kOldTree);
    std::size_t files = 0;
    for (fs::recursive_directory_iterator it(pair / "new.app"), end; it != end; ++it)
        files += it->is_regular_file() ? 1 : 0;
    const std::uint64_t bundle = bytesIn(pair / "new.app");

    Update whole{"whole", {}, {}, 0}, delta{"delta", {}, {}, 0};
    for (auto [update, options] : {std::pair{&whole, std::vector<std::string>{}},
                                   std::pair{&delta, std::vector<std::string>{"--delta"}}}) {
        if (!makeAndApply(pair, *update, options)) {
            std::printf(
                "delta_update_bench: the %s update failed or did not leave the new bundle; "
                "see the logs in %s\n",
                update->kind, pair.c_str());
            return 1;
        }
    }
    struct rusage own {};
    ::getrusage(RUSAGE_SELF, &own);
    std::printf("pair: %zu files, %.1f MB in the new bundle (Python 3.11.2 -> 3.11.7)\n", files,
                megabytes(bundle));
    for (const Update* update : {&whole, &delta})
        std::printf(
            "%s update: %.2f MB, %.2f %% of the new bundle; made in %.1f s (peak %ld KiB), "
            "applied in %.2f s (peak %ld KiB)\n",
            update->kind, megabytes(update->bytes),
            100.0 * static_cast<double>(update->bytes) / static_cast<double>(bundle),
            update->make.seconds, update->make.peakKiB, update->apply.seconds,
            update->apply.peakKiB);
    std::printf("whole/delta bytes: %.1f; delta/whole apply time: %.2f\n",
                static_cast<double>(whole.bytes) / static_cast<double>(delta.bytes),
                delta.apply.seconds / whole.apply.seconds);
    // A child's peak starts at its parent's size when it is forked.
    std::printf("(each peak is the largest process's; none is below this program's %ld KiB)\n",
                own.ru_maxrss);
    fs::remove_all(pair);
    return 0;
}
