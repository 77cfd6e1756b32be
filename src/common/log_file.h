// The rolling, size-bounded log file that both executables write.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/value.h"

namespace corvant {

// Thrown by a second openFile on an open log: a programming error, never a run-time condition.
class LogFileAssertion : public std::logic_error {
  public:
    using std::logic_error::logic_error;
};

// The time stamp of a log line: local date and time, a colon, then the milliseconds unpadded
// ("2013-04-09 14:03:27:58").
std::string logTimeStamp(std::time_t seconds, unsigned milliseconds);

// Where the log directory is formed and where the daemon variant's reports go. The executables
// use the defaults; tests hand in temporary folders and a recording report sink.
struct LogFilePlaces {
    // Library folder of the local domain (the daemon variant adds "Application Support").
    std::string localLibrary = "/Library";
    // The user's Application Support folder (the patcher variant); empty means
    // homeDirectory() + "/Library/Application Support".
    std::string userApplicationSupport;
    // System-log reports of the daemon variant; empty means syslog at LOG_ALERT.
    std::function<void(const std::string&)> systemLog;
    // The time stamp of each line; empty means the local clock (see logTimeStamp).
    std::function<std::string()> timeStamp;
    // The size past which a line trims the log. Tests use a small one to trim often.
    std::int64_t highWaterMark = 4194304;
    // Handed what each trim cuts from the front of the log (tests count lines with it); empty
    // means nothing is read for it.
    std::function<void(const std::string&)> trimmedAway;
};

class LogFile {
  public:
    enum class Variant { Daemon, Patcher };

    // Declared outside the class so that it can serve as a defaulted argument below.
    using Places = LogFilePlaces;

    // init: the defaults, nothing opened.
    explicit LogFile(Variant variant, Places places = {});
    // initWithFile:logLevel: the defaults, the given level, then openFile with `fileName`.
    static std::unique_ptr<LogFile> initWithFile(Variant variant, const std::string& fileName,
                                                 std::int32_t logLevel, Places places = {});
    ~LogFile();

    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    std::optional<std::string> formDirectoryPath();
    bool openFile(const std::string& fileName);

    // Writes one line: `tag` and `format` may be null (absent); the arguments fill the format.
    template <typename... Args>
    void writeLogToFileWithInfo(const char* tag, std::int32_t userLevel, const char* format,
                                const Args&... arguments) {
        if (userLevel > logLevel_) return;
        // Each thread reuses one list for the arguments: a line costs no allocation for them.
        thread_local std::vector<Value> values;
        values.clear();
        (values.emplace_back(arguments), ...);
        writeLine(tag, userLevel, format, values);
        values.clear();
    }
    void writeLine(const char* tag, std::int32_t userLevel, const char* format,
                   const std::vector<Value>& arguments);

    void close();

    // Patcher variant: the header banner written after every trim.
    std::shared_ptr<const Dictionary> headerInformation() const;
    void setHeaderInformation(std::shared_ptr<const Dictionary> header);
    void printHeaderInformation();

    // Read-only views for tests and callers.
    Variant variant() const { return variant_; }
    std::optional<std::string> path() const;
    bool isOpen() const;

  private:
    // All called with lock_ held.
    bool appendLine(const std::string& line);
    off_t writeWholeLine(const std::string& line);
    bool isFileAtPath() const;
    bool appendLineUnlessKept(const std::string& line);
    bool lineStillInPlace(const std::string& line, off_t end) const;
    bool lineInCurrentFile(const std::string& line) const;
    void reduceToLowWaterMark();
    void trimMovingAside(int locked, off_t size);
    void trimInPlace(off_t size);
    void reportCut(int descriptor, off_t from) const;
    void reportTrimError(int error);
    void openStream(const std::string& path);
    void closeStream();
    void report(const std::string& message) const;
    void appendTimeStamp(std::string& out) const;

    const Variant variant_;
    const Places places_;

    std::int64_t lowWaterMark_ = 2048;
    std::int64_t highWaterMark_ = 4194304;
    std::optional<std::string> path_;
    // The log, opened for appending: each line goes in one write, so lines of several writers
    // never mix. -1 when no log is open.
    int file_ = -1;
    bool readable_ = true;  // the descriptor reads too
    // The cause of the last failed trim, printed once until a trim works again; and whether the
    // file could not be cut at all, in which case lines wait for a trim that works.
    int trimError_ = 0;
    bool trimBlocked_ = false;
    mutable std::mutex lock_;
    std::int32_t logLevel_ = 2;

    mutable std::mutex headerLock_;
    std::shared_ptr<const Dictionary> headerInformation_;
};

}  // namespace corvant
