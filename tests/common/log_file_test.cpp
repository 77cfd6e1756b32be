#include "common/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "test_folder.h"

namespace corvant {
namespace {

using testing::readFile;
using testing::TestFolder;
using testing::writeFile;

constexpr std::int64_t kHighWaterMark = 4194304;
constexpr char kStamp[] = "2013-04-09 14:03:27:58";

// A log in a private folder with a fixed time stamp and recorded system-log reports.
struct LogSetup {
    TestFolder folder;
    std::vector<std::string> reports;

    LogFile::Places places(bool fixedStamp = true) {
        LogFile::Places places;
        places.localLibrary = folder / "Library";
        places.userApplicationSupport = folder / "Support";
        places.systemLog = [this](const std::string& line) { reports.push_back(line); };
        if (fixedStamp) places.timeStamp = [] { return std::string(kStamp); };
        return places;
    }
    std::string directory(LogFile::Variant variant) const {
        return variant == LogFile::Variant::Daemon
                   ? folder / "Library/Application Support/Corvant/Solvane"
                   : folder / "Support/Corvant/Solvane";
    }
    std::unique_ptr<LogFile> open(LogFile::Variant variant, const std::string& name = "Test.log",
                                  std::int32_t level = 2) {
        return LogFile::initWithFile(variant, name, level, places());
    }
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

TEST(LogFile, OpensInTheVariantsFolderAndReportsThePath) {
    LogSetup setup;
    auto daemon = setup.open(LogFile::Variant::Daemon, "Daemon.log");
    const std::string daemonPath = setup.directory(LogFile::Variant::Daemon) + "/Daemon.log";
    EXPECT_TRUE(daemon->isOpen());
    EXPECT_EQ(daemon->path(), daemonPath);
    EXPECT_EQ(setup.reports,
              (std::vector<std::string>{
                  "path count:1",
                  "Path Formed during Contruction : " + setup.directory(LogFile::Variant::Daemon),
                  "path:" + daemonPath}));

    setup.reports.clear();
    auto patcher = setup.open(LogFile::Variant::Patcher, "SoftwarePatcher.log");
    EXPECT_EQ(patcher->path(), setup.directory(LogFile::Variant::Patcher) + "/SoftwarePatcher.log");
    EXPECT_TRUE(patcher->isOpen());
    EXPECT_TRUE(setup.reports.empty()) << "the patcher variant never reports";
}

struct LineCase {
    const char* name;
    LogFile::Variant variant;
    const char* tag;
    std::int32_t level;
    const char* format;
    std::string expected;  // empty: nothing written
};

class LogLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(LogLines, FirstFieldFilterAndNilTexts) {
    const auto& param = GetParam();
    LogSetup setup;
    auto log = setup.open(param.variant);
    log->writeLogToFileWithInfo(param.tag, param.level, param.format, "arg");
    const std::string content = readFile(*log->path());
    EXPECT_EQ(content, param.expected.empty() ? "" : param.expected + "\n");
}

const std::string kDaemonNil =
    "NIL object was passed to Write to LogFile funtion, please check the previous log code";
const std::string kPatcherNil =
    "Arguments or format was nil while printing the log, please check the previous log code";
const std::string kAt = std::string(" [") + kStamp + "] : ";
// A message that makes a line of 70,000 bytes; such a line is cut to 65,472 and marked.
const std::string kLongMessage(70000 - ("[INFO]" + kAt).size(), 'x');
const std::string kCutLine =
    ("[INFO]" + kAt + kLongMessage).substr(0, 65472) + " [line cut: 4528 more bytes]";

INSTANTIATE_TEST_SUITE_P(
    Table, LogLines,
    ::testing::Values(
        LineCase{"daemon_tag_as_is", LogFile::Variant::Daemon, "USER", 0, "v=%@",
                 "[USER]" + kAt + "v=arg"},
        LineCase{"daemon_level_2", LogFile::Variant::Daemon, "DEBUG", 2, "x",
                 "[DEBUG]" + kAt + "x"},
        LineCase{"daemon_level_3_dropped", LogFile::Variant::Daemon, "DEBUG", 3, "x", ""},
        LineCase{"daemon_negative_level", LogFile::Variant::Daemon, "USER", -5, "x",
                 "[USER]" + kAt + "x"},
        LineCase{"daemon_nil_tag", LogFile::Variant::Daemon, nullptr, 0, "x",
                 "[" + kDaemonNil + "]" + kAt + kDaemonNil},
        LineCase{"daemon_nil_format", LogFile::Variant::Daemon, "USER", 0, nullptr,
                 "[" + kDaemonNil + "]" + kAt + kDaemonNil},
        LineCase{"daemon_nil_dropped_by_level", LogFile::Variant::Daemon, nullptr, 3, nullptr, ""},
        LineCase{"patcher_info", LogFile::Variant::Patcher, "USER", 0, "x", "[INFO]" + kAt + "x"},
        LineCase{"patcher_error", LogFile::Variant::Patcher, "DEBUG", 1, "x",
                 "[ERROR]" + kAt + "x"},
        LineCase{"patcher_debug", LogFile::Variant::Patcher, "DEBUG", 2, "%@",
                 "[DEBUG]" + kAt + "arg"},
        LineCase{"patcher_negative", LogFile::Variant::Patcher, "DEBUG", -1, "x", "[]" + kAt + "x"},
        LineCase{"patcher_level_3_dropped", LogFile::Variant::Patcher, "DEBUG", 3, "x", ""},
        LineCase{"patcher_nil_tag_ignored", LogFile::Variant::Patcher, nullptr, 2, "x",
                 "[DEBUG]" + kAt + "x"},
        LineCase{"patcher_nil_format", LogFile::Variant::Patcher, "DEBUG", 2, nullptr,
                 "[DEBUG]" + kAt + kPatcherNil},
        LineCase{"embedded_line_feed", LogFile::Variant::Patcher, "DEBUG", 0, "a\nb",
                 "[INFO]" + kAt + "a\nb"},
        LineCase{"cut_at_the_maximum", LogFile::Variant::Patcher, "DEBUG", 0, kLongMessage.c_str(),
                 kCutLine}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LogFile, HigherThresholdLetsHigherLevelsThrough) {
    LogSetup setup;
    auto log = setup.open(LogFile::Variant::Patcher, "Test.log", 5);
    log->writeLogToFileWithInfo("DEBUG", 5, "five");
    log->writeLogToFileWithInfo("DEBUG", 6, "six");
    EXPECT_EQ(readFile(*log->path()), "[]" + kAt + "five\n");
}

TEST(LogTimeStamp, MillisecondsAreUnpadded) {
    setenv("TZ", "UTC", 1);
    tzset();
    const std::time_t moment = 1365516207;  // 2013-04-09 14:03:27 UTC
    const std::pair<unsigned, const char*> cases[] = {
        {0, "2013-04-09 14:03:27:0"},
        {7, "2013-04-09 14:03:27:7"},
        {58, "2013-04-09 14:03:27:58"},
        {999, "2013-04-09 14:03:27:999"},
    };
    for (const auto& [milliseconds, expected] : cases) {
        EXPECT_EQ(logTimeStamp(moment, milliseconds), expected);
    }
}

TEST(LogFile, ClockStampHasTheLineLayout) {
    LogSetup setup;
    auto log = LogFile::initWithFile(LogFile::Variant::Daemon, "Clock.log", 2, setup.places(false));
    log->writeLogToFileWithInfo("USER", 0, "Starting up Deamon Process [Version - %@]",
                                "Deamon 2.0");
    const std::regex layout(R"(\[USER\] \[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:(0|[1-9]\d{0,2})\] : )"
                            R"(Starting up Deamon Process \[Version - Deamon 2\.0\]\n)");
    EXPECT_TRUE(std::regex_match(readFile(*log->path()), layout)) << readFile(*log->path());
}

TEST(LogFile, SecondOpenIsAnAssertion) {
    LogSetup setup;
    auto log = setup.open(LogFile::Variant::Daemon);
    const auto path = log->path();
    try {
        log->openFile("Other.log");
        FAIL() << "no assertion";
    } catch (const LogFileAssertion& assertion) {
        EXPECT_STREQ(assertion.what(), "Log file is already open");
    }
    EXPECT_EQ(log->path(), path);
    log->writeLogToFileWithInfo("USER", 0, "still");
    EXPECT_EQ(readFile(*path), "[USER]" + kAt + "still\n");
}

TEST(LogFile, CloseAndReopen) {
    LogSetup setup;
    auto log = setup.open(LogFile::Variant::Patcher);
    const std::string path = *log->path();
    log->setHeaderInformation(
        std::make_shared<Dictionary>(Dictionary{{"unactivatedClientProfileID", "p"}}));
    log->writeLogToFileWithInfo("DEBUG", 0, "one");
    log->close();
    EXPECT_FALSE(log->isOpen());
    EXPECT_FALSE(log->path().has_value());
    EXPECT_EQ(log->headerInformation(), nullptr);
    log->writeLogToFileWithInfo("DEBUG", 0, "lost");
    log->close();  // closing a closed log changes nothing

    EXPECT_TRUE(log->openFile("Test.log"));
    log->writeLogToFileWithInfo("DEBUG", 0, "two");
    EXPECT_EQ(readFile(path), "[INFO]" + kAt + "one\n[INFO]" + kAt + "two\n");
}

TEST(LogFile, InitWithoutOpenWritesNothing) {
    LogSetup setup;
    LogFile log(LogFile::Variant::Daemon, setup.places());
    log.writeLogToFileWithInfo("USER", 0, "nowhere");
    EXPECT_FALSE(log.isOpen());
    EXPECT_FALSE(std::filesystem::exists(setup.folder / "Library"));
}

TEST(LogFile, BlockingFileIsMovedAside) {
    LogSetup setup;
    std::filesystem::create_directories(setup.folder / "Support");
    writeFile(setup.folder / "Support/Corvant", "in the way");
    auto log = setup.open(LogFile::Variant::Patcher);
    EXPECT_TRUE(log->isOpen());
    EXPECT_EQ(readFile(setup.folder / "Support/Corvant.org"), "in the way");
    EXPECT_TRUE(std::filesystem::is_directory(setup.folder / "Support/Corvant/Solvane"));
}

TEST(LogFile, LinkToADirectoryIsUsedAsIs) {
    LogSetup setup;
    std::filesystem::create_directories(setup.folder / "Support");
    std::filesystem::create_directories(setup.folder / "elsewhere");
    std::filesystem::create_directory_symlink(setup.folder / "elsewhere",
                                              setup.folder / "Support/Corvant");
    auto log = setup.open(LogFile::Variant::Patcher);
    EXPECT_TRUE(log->isOpen());
    EXPECT_TRUE(std::filesystem::is_directory(setup.folder / "elsewhere/Solvane"));
    EXPECT_FALSE(std::filesystem::exists(setup.folder / "Support/Corvant.org"));
}

TEST(LogFile, FailedOpenPrintsOnStandardOutputAndWritesNothing) {
    LogSetup setup;
    writeFile(setup.folder / "Library", "a file, not a folder");
    ::testing::internal::CaptureStdout();
    auto log = setup.open(LogFile::Variant::Daemon, "Daemon.log");
    const std::string printed = ::testing::internal::GetCapturedStdout();
    const std::string path = setup.directory(LogFile::Variant::Daemon) + "/Daemon.log";
    EXPECT_FALSE(log->isOpen());
    EXPECT_EQ(log->path(), path);
    EXPECT_EQ(printed,
              "[openFile] [Error in file opening " + path + "] =" + std::to_string(ENOTDIR) + "\n");
    log->writeLogToFileWithInfo("USER", 0, "dropped");
}

TEST(LogFile, NoBaseFolderMeansNoDirectoryAndAFailedOpen) {
    LogSetup setup;
    auto places = setup.places();
    places.localLibrary.clear();
    ::testing::internal::CaptureStdout();
    auto log = LogFile::initWithFile(LogFile::Variant::Daemon, "Daemon.log", 2, places);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "[openFile] [Error in file opening (null)] =" + std::to_string(ENOENT) + "\n");
    EXPECT_FALSE(log->isOpen());
    EXPECT_FALSE(log->path().has_value());
    EXPECT_EQ(setup.reports,
              (std::vector<std::string>{"path count:0", "Path Formed during Contruction : (null)",
                                        "path:(null)"}));
}

TEST(LogFile, PatcherFolderDefaultsToTheHomeFolder) {
    LogSetup setup;
    const char* saved = std::getenv("HOME");
    const std::string original = saved ? saved : "";
    setenv("HOME", setup.folder.path().c_str(), 1);
    auto places = setup.places();
    places.userApplicationSupport.clear();
    LogFile log(LogFile::Variant::Patcher, places);
    EXPECT_EQ(log.formDirectoryPath(),
              setup.folder / "Library/Application Support/Corvant/Solvane");
    EXPECT_TRUE(std::filesystem::is_directory(setup.folder /
                                              "Library/Application Support/Corvant/Solvane"));
    if (saved) setenv("HOME", original.c_str(), 1);
}

TEST(LogFile, ConcurrentWritersNeverMixLines) {
    LogSetup setup;
    auto log = setup.open(LogFile::Variant::Daemon);
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&log, t] {
            const std::string filler(100 + t * 37, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                log->writeLogToFileWithInfo("USER", 0, "%d %d %@", t, i, filler);
        });
    }
    for (auto& writer : writers) writer.join();
    std::map<int, int> nextOf;
    const std::regex layout(R"(\[USER\] \[[^\]]+\] : (\d) (\d+) ([a-z]+))");
    const auto lines = linesOf(readFile(*log->path()));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    for (const auto& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, layout)) << line;
        const int thread = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), nextOf[thread]++) << "lines of one writer stay in order";
        EXPECT_EQ(match[3].str(), std::string(100 + thread * 37, static_cast<char>('a' + thread)));
    }
}

}  // namespace
}  // namespace corvant
