// The rolling, size-bounded log file.
#include "common/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/format.h"
#include "common/places.h"

namespace corvant {
namespace {

constexpr char kDaemonNilText[] =
    "NIL object was passed to Write to LogFile funtion, please check the previous log code";
constexpr char kPatcherNilText[] =
    "Arguments or format was nil while printing the log, please check the previous log code";

// A trim reads the old log in pieces of one line, or at most this many bytes of a longer line.
constexpr off_t kPieceSize = 511;
constexpr std::size_t kChunkSize = 4096;

const char* levelName(std::int32_t level) {
    switch (level) {
        case 0:
            return "INFO";
        case 1:
            return "ERROR";
        case 2:
            return "DEBUG";
        default:
            return "";
    }
}

std::string clockTimeStamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return logTimeStamp(now.tv_sec, static_cast<unsigned>(now.tv_nsec / 1000000));
}

// Moves `from` to `to` unless something already exists at `to`.
bool moveWithoutReplacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // The file system cannot refuse to replace: fall back to a hard link, which never replaces.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

// Makes sure a directory exists at `path`. An item of another kind in the way is first moved
// aside to `path` + ".org". Failures show up later as a failed open.
void ensureDirectory(const std::string& path) {
    if (directoryExists(path)) return;
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) moveWithoutReplacing(path, path + ".org");
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
}

std::string expandTilde(const std::string& path) {
    if (path == "~" || path.starts_with("~/")) return homeDirectory() + path.substr(1);
    return path;
}

bool readAt(int descriptor, char* buffer, std::size_t size, off_t offset, std::size_t& got) {
    ssize_t result;
    do {
        result = ::pread(descriptor, buffer, size, offset);
    } while (result < 0 && errno == EINTR);
    got = result > 0 ? static_cast<std::size_t>(result) : 0;
    return result >= 0;
}

// The offset just after the last line feed before `end`, or 0 when there is none.
off_t lineStartBefore(int descriptor, off_t end) {
    char buffer[kChunkSize];
    while (end > 0) {
        const off_t begin = std::max<off_t>(0, end - static_cast<off_t>(kChunkSize));
        std::size_t got = 0;
        if (!readAt(descriptor, buffer, static_cast<std::size_t>(end - begin), begin, got) ||
            got != static_cast<std::size_t>(end - begin)) {
            return 0;
        }
        if (const void* found = memrchr(buffer, '\n', got)) {
            return begin + (static_cast<const char*>(found) - buffer) + 1;
        }
        end = begin;
    }
    return 0;
}

// Where the first piece beginning at or after `cut` starts. The old log is read as pieces: a
// line, or at most 511 bytes of a longer line. Pieces begin at line starts and every 511 bytes
// within a line, so only the line around the cut point has to be looked at, not the whole file.
off_t firstPieceAtOrAfter(int descriptor, off_t cut) {
    const off_t lineStart = lineStartBefore(descriptor, cut);
    const off_t piecesToSkip = (cut - lineStart + kPieceSize - 1) / kPieceSize;
    const off_t candidate = lineStart + piecesToSkip * kPieceSize;
    // A line feed between the cut and the candidate ends this line first; the next line's start
    // is then the first piece.
    char buffer[kPieceSize];
    std::size_t got = 0;
    if (candidate > cut &&
        readAt(descriptor, buffer, static_cast<std::size_t>(candidate - cut), cut, got)) {
        if (const void* found = std::memchr(buffer, '\n', got)) {
            return cut + (static_cast<const char*>(found) - buffer) + 1;
        }
    }
    return candidate;
}

void copyFrom(int descriptor, off_t offset, std::FILE* destination) {
    char buffer[kChunkSize];
    std::size_t got = 0;
    while (readAt(descriptor, buffer, sizeof buffer, offset, got) && got > 0) {
        if (std::fwrite(buffer, 1, got, destination) != got) return;
        offset += static_cast<off_t>(got);
    }
}

}  // namespace

std::string logTimeStamp(std::time_t seconds, unsigned milliseconds) {
    std::tm local{};
    localtime_r(&seconds, &local);
    char dateAndTime[40];
    std::strftime(dateAndTime, sizeof dateAndTime, "%Y-%m-%d %H:%M:%S", &local);
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%s:%u", dateAndTime, milliseconds);
    return stamp;
}

LogFile::LogFile(Variant variant, Places places) : variant_(variant), places_(std::move(places)) {}

std::unique_ptr<LogFile> LogFile::initWithFile(Variant variant, const std::string& fileName,
                                               std::int32_t logLevel, Places places) {
    auto log = std::make_unique<LogFile>(variant, std::move(places));
    log->mLogLevel = logLevel;
    log->openFile(fileName);
    return log;
}

LogFile::~LogFile() {
    close();
}

std::string LogFile::currentTimeStamp() const {
    return places_.timeStamp ? places_.timeStamp() : clockTimeStamp();
}

void LogFile::report(const std::string& message) const {
    if (variant_ != Variant::Daemon) return;
    if (places_.systemLog) {
        places_.systemLog(message);
    } else {
        syslog(LOG_ALERT, "%s", message.c_str());
    }
}

std::optional<std::string> LogFile::formDirectoryPath() {
    std::string base;
    if (variant_ == Variant::Daemon) {
        if (!places_.localLibrary.empty())
            base = expandTilde(places_.localLibrary) + "/Application Support";
    } else if (!places_.userApplicationSupport.empty()) {
        base = expandTilde(places_.userApplicationSupport);
    } else if (const std::string home = homeDirectory(); !home.empty()) {
        base = home + "/Library/Application Support";
    }
    report(formatString("path count:%d", base.empty() ? 0 : 1));
    std::optional<std::string> directory;
    if (!base.empty()) {
        ensureDirectory(base + "/Corvant");
        directory = base + "/Corvant/Solvane";
        ensureDirectory(*directory);
    }
    report(formatString("Path Formed during Contruction : %s",
                        directory ? Value(*directory) : Value()));
    return directory;
}

bool LogFile::openFile(const std::string& fileName) {
    {
        // Checked before anything else, so a wrong second open leaves the open log untouched.
        std::lock_guard lock(mLock);
        if (mFile != nullptr) throw LogFileAssertion("Log file is already open");
    }
    const auto directory = formDirectoryPath();
    std::optional<std::string> path;
    if (directory) path = *directory + "/" + fileName;
    report(formatString("path:%s", path ? Value(*path) : Value()));

    std::lock_guard lock(mLock);
    if (mFile != nullptr) throw LogFileAssertion("Log file is already open");
    mPath = path;
    // "e": shell commands that the executables run must not inherit the log.
    mFile = path ? std::fopen(path->c_str(), "ae") : nullptr;
    const int error = path ? errno : ENOENT;
    if (mFile != nullptr) {
        std::setvbuf(mFile, nullptr, _IOLBF, BUFSIZ);
    } else {
        std::printf("[openFile] [Error in file opening %s] =%d\n", path ? path->c_str() : "(null)",
                    error);
    }
    return mFile != nullptr;
}

void LogFile::writeLine(const char* tag, std::int32_t userLevel, const char* format,
                        const std::vector<Value>& arguments) {
    if (userLevel > mLogLevel) return;
    std::string line = "[";
    if (variant_ == Variant::Daemon) {
        const bool missing = tag == nullptr || format == nullptr;
        line += missing ? kDaemonNilText : tag;
        line += "] [" + currentTimeStamp() + "] : ";
        line += missing ? kDaemonNilText : formatMessage(format, arguments);
    } else {
        line += levelName(userLevel);
        line += "] [" + currentTimeStamp() + "] : ";
        line += format == nullptr ? kPatcherNilText : formatMessage(format, arguments);
    }
    line += '\n';

    bool trimmed = false;
    {
        std::lock_guard lock(mLock);
        if (mFile == nullptr) return;
        std::fwrite(line.data(), 1, line.size(), mFile);
        if (ftello(mFile) > mHighWaterMark) {
            reduceToLowWaterMark();
            trimmed = true;
        }
    }
    if (trimmed && variant_ == Variant::Patcher) printHeaderInformation();
}

void LogFile::reduceToLowWaterMark() {
    struct stat status {};
    if (::fstat(fileno(mFile), &status) != 0 || status.st_size < mHighWaterMark) return;
    std::fclose(mFile);
    mFile = nullptr;

    // A stale temporary file from an interrupted trim blocks the move; the old log then stays
    // in place, the stale file's tail is appended, and the next line trims again.
    const std::string temporaryPath = *mPath + ".tmp";
    moveWithoutReplacing(*mPath, temporaryPath);
    mFile = std::fopen(mPath->c_str(), "ae");
    if (mFile != nullptr) std::setvbuf(mFile, nullptr, _IOLBF, BUFSIZ);

    const int old = ::open(temporaryPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (old < 0) {
        std::printf("[reduceToLowWaterMark] [Error in file opening] =%d", errno);
    } else {
        const off_t cut = std::max<off_t>(1, status.st_size - mLowWaterMark);
        if (mFile != nullptr) {
            copyFrom(old, firstPieceAtOrAfter(old, cut), mFile);
            std::fflush(mFile);
        }
        ::close(old);
    }
    ::unlink(temporaryPath.c_str());
}

void LogFile::close() {
    std::lock_guard lock(mLock);
    if (mFile == nullptr) return;
    std::fclose(mFile);
    mFile = nullptr;
    mPath.reset();
    if (variant_ == Variant::Patcher) setHeaderInformation(nullptr);
}

std::shared_ptr<const Dictionary> LogFile::headerInformation() const {
    std::lock_guard lock(headerLock_);
    return headerInformation_;
}

void LogFile::setHeaderInformation(std::shared_ptr<const Dictionary> header) {
    std::lock_guard lock(headerLock_);
    headerInformation_ = std::move(header);
}

void LogFile::printHeaderInformation() {
    const auto header = headerInformation();
    if (!header || header->empty()) return;
    writeLogToFileWithInfo("DEBUG", 2, "///// Client Information in unactivated mode /////");
    const std::pair<const char*, const char*> lines[] = {
        {"unactivatedClientProfileID", "   Profile ID:%@      "},
        {"unactivatedClientCompanyID", "   Company ID:%@   "},
        {"unactivatedClientVersionInformation", "   Client Version:%@   "},
    };
    for (const auto& [key, format] : lines) {
        if (header->contains(key)) writeLogToFileWithInfo("DEBUG", 2, format, lookup(*header, key));
    }
    writeLogToFileWithInfo("DEBUG", 2, "/////////////////////////////////////////////////////////");
}

std::optional<std::string> LogFile::path() const {
    std::lock_guard lock(mLock);
    return mPath;
}

bool LogFile::isOpen() const {
    std::lock_guard lock(mLock);
    return mFile != nullptr;
}

}  // namespace corvant
