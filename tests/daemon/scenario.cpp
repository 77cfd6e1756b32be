#include "scenario.h"

#include <cstdlib>
#include <fstream>

#include "common/plist.h"

namespace kelvorn::testing {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

namespace {

std::vector<std::string> readLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

constexpr const char* kBundleCardList =
    "Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/MBConfig/MDCardList";
constexpr const char* kBundleINI =
    "Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/Directory/installer.ini";

}  // namespace

void DaemonScenario::SetUp() {
    char pattern[] = "/tmp/kelvorn-scenario-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char* folder : {"Applications", "Users", "Library", "bin"}) {
        fs::create_directories(root_ / folder);
    }
    const fs::path bin = root_ / "bin";
    // Each call notes its arguments and the user its listing is restricted to, and prints that
    // user's listing when one was set, otherwise the listing of every user.
    const std::string output = (root_ / "ps-output").string();
    writeFile(bin / "ps", "#!/bin/sh\necho \"$*\" >> '" + (root_ / "ps-calls").string() +
                              "'\necho \"$KELVORN_PS_USER\" >> '" + (root_ / "ps-users").string() +
                              "'\nlisting='" + output +
                              "'\n[ -f \"$listing-$KELVORN_PS_USER\" ] && "
                              "listing=\"$listing-$KELVORN_PS_USER\"\ncat \"$listing\" "
                              "2>/dev/null\n");
    writeFile(bin / "open", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" +
                                (root_ / "open-calls").string() + "'; done\n");
    fs::permissions(bin / "ps", fs::perms::owner_all);
    fs::permissions(bin / "open", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    savedPath_ = path ? path : "/usr/bin:/bin";
    setenv("PATH", (bin.string() + ":" + savedPath_).c_str(), 1);
}

void DaemonScenario::TearDown() {
    daemon_.reset();
    setenv("PATH", savedPath_.c_str(), 1);
    fs::remove_all(root_);
}

Daemon& DaemonScenario::daemon() {
    if (!daemon_) {
        DaemonPlaces places{applications(), users(), {}};
        places.log.localLibrary = (root_ / "Library").string();
        places.homeFolderOf = [this](const std::string& user) -> std::optional<std::string> {
            const auto home = homes.find(user);
            if (home == homes.end()) return std::nullopt;
            return home->second;
        };
        DaemonOptions options;
        options.logObserver = [this](const LogRecord& record) { records.push_back(record); };
        options.takeServiceName = takeServiceName;
        options.answerQueries = [this](const DeviceQueries&) { return observer; };
        options.explainExit = [this](const std::string& reason) { exitReasons.push_back(reason); };
        daemon_ = std::make_unique<Daemon>(doubles.platform, places, options);
    }
    return *daemon_;
}

std::string DaemonScenario::cardListIn(const std::string& bundlePath) const {
    return bundlePath + "/" + kBundleCardList;
}

std::string DaemonScenario::installClient(const std::string& bundlePath,
                                          const std::optional<corvant::Dictionary>& cards,
                                          const std::optional<std::string>& installerINI) {
    fs::create_directories(bundlePath + "/Contents");
    if (cards) {
        fs::create_directories(fs::path(cardListIn(bundlePath)).parent_path());
        EXPECT_TRUE(corvant::writeDictionaryToFile(*cards, cardListIn(bundlePath)));
    }
    if (installerINI) writeFile(bundlePath + "/" + kBundleINI, *installerINI);
    doubles.clientBundle = bundlePath;
    return bundlePath;
}

void DaemonScenario::writeUserINI(const std::string& user, const std::string& text) {
    writeFile(root_ / "Users" / user /
                  "Library/Application Support/Corvant/Solvane/Directory/installer.ini",
              text);
}

void DaemonScenario::useDefaultClient(const corvant::Dictionary& cards) {
    daemon().state.MDCardListPath =
        cardListIn(installClient(applications() + "/Solvane.app", cards));
    daemon().state.CurrentUser = "alice";
}

void DaemonScenario::setListing(const std::string& processes) {
    writeFile(root_ / "ps-output", processes);
}

void DaemonScenario::setListingOf(const std::string& user, const std::string& processes) {
    writeFile(root_ / ("ps-output-" + user), processes);
}

std::vector<std::string> DaemonScenario::listedUsers() const {
    return readLines(root_ / "ps-users");
}

std::vector<std::string> DaemonScenario::openArguments() const {
    return readLines(root_ / "open-calls");
}

int DaemonScenario::listings() const {
    return static_cast<int>(readLines(root_ / "ps-calls").size());
}

std::vector<std::string> DaemonScenario::messages() const {
    std::vector<std::string> texts;
    for (const auto& record : records) texts.push_back(record.message);
    return texts;
}

bool DaemonScenario::logged(const std::string& tag, int level, const std::string& message) const {
    for (const auto& record : records) {
        if (record.tag == tag && record.level == level && record.message == message) return true;
    }
    return false;
}

int DaemonScenario::count(const std::string& message) const {
    int found = 0;
    for (const auto& record : records) found += record.message == message ? 1 : 0;
    return found;
}

}  // namespace kelvorn::testing
