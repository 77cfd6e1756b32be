// The rolling, size-bounded log file.
#include "common/log_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>

#include "common/format.h"
#include "common/places.h"
#include "common/regular_file.h"

namespace corvant {
namespace {

constexpr char kDaemonNilText[] =
    "NIL object was passed to Write to LogFile funtion, please check the previous log code";
constexpr char kPatcherNilText[] =
    "Arguments or format was nil while printing the log, please check the previous log code";

// A trim reads the old log in pieces of one line, or at most this many bytes of a longer line.
constexpr off_t kPieceSize = 511;
constexpr std::size_t kChunkSize = 4096;
// The longest line written, its line feed included: a message that would make one line longer is
// cut and marked, so that no single line (a large dictionary's description, say) comes near the
// log's size bound.
constexpr std::size_t kMaxLineBytes = 65536;

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

// Appends the stamp of the current moment. Local date and time change once a second, so each
// thread keeps the last second's text and only adds the milliseconds.
void appendClockTimeStamp(std::string& out) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    thread_local std::time_t cachedSecond = -1;
    thread_local std::string cachedText;
    if (now.tv_sec != cachedSecond) {
        cachedText = logTimeStamp(now.tv_sec, 0);
        cachedText.resize(cachedText.size() - 1);  // keep the colon, drop the "0"
        cachedSecond = now.tv_sec;
    }
    out += cachedText;
    char digits[8];
    const auto milliseconds = static_cast<unsigned>(now.tv_nsec / 1000000);
    out.append(digits, std::to_chars(digits, digits + sizeof digits, milliseconds).ptr);
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
    // Another process may have made the directory since the first look: only an item of another
    // kind is moved aside, never a directory that a writer may have opened its log in.
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && !directoryExists(path))
        moveWithoutReplacing(path, path + ".org");
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
}

// Removes whatever is at `path`, a folder with its content included; failures are ignored.
void removeItem(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno != EISDIR) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
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

// Takes the exclusive lock of the file or folder open at `descriptor`, waiting for it.
void lockWhole(int descriptor) {
    while (::flock(descriptor, LOCK_EX) != 0 && errno == EINTR) {
    }
}

// Opens the folder that holds `path` and takes its lock, which serialises trims: a descriptor
// to close to release it, or -1 when the folder cannot be opened.
int lockFolderOf(const std::string& path) {
    const int folder = ::open(std::filesystem::path(path).parent_path().c_str(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) lockWhole(folder);
    return folder;
}

// Copies the rest of `source` from `offset` on. The destination is a freshly opened append
// stream with nothing buffered, so its descriptor can take the bytes directly in a few writes.
void copyFrom(int source, off_t offset, int destination) {
    char buffer[kChunkSize];
    std::size_t got = 0;
    while (readAt(source, buffer, sizeof buffer, offset, got) && got > 0) {
        if (!writeAll(destination, buffer, got)) return;
        offset += static_cast<off_t>(got);
    }
}

// Reads what a trim keeps, the pieces from `from` up to the size the trimmer saw, into `tail`
// (at least as large as the low-water mark). Another writer's line may be half in the file at
// that size, so the tail ends at its last line feed (a file without one is kept as it is); the
// writer of a line left out writes it again.
std::size_t readTail(int descriptor, off_t from, off_t size, char* tail, std::size_t room) {
    const auto length = static_cast<std::size_t>(std::max<off_t>(0, size - from));
    std::size_t got = 0;
    if (!readAt(descriptor, tail, std::min(length, room), from, got)) return 0;
    if (const void* last = memrchr(tail, '\n', got)) {
        got = static_cast<std::size_t>(static_cast<const char*>(last) - tail) + 1;
    }
    return got;
}

// Cuts `line` (without its line feed yet) to fit kMaxLineBytes, at a character boundary, and
// says how much was left out.
void cutToMaximumLength(std::string& line) {
    if (line.size() < kMaxLineBytes) return;
    const std::size_t fullSize = line.size();
    std::size_t keep = kMaxLineBytes - 64;  // room for the mark and the line feed
    while (keep > 0 && (static_cast<unsigned char>(line[keep]) & 0xC0) == 0x80) --keep;
    line.resize(keep);
    line += " [line cut: ";
    char digits[24];
    line.append(digits, std::to_chars(digits, digits + sizeof digits, fullSize - keep).ptr);
    line += " more bytes]";
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

LogFile::LogFile(Variant variant, Places places)
    : variant_(variant), places_(std::move(places)), highWaterMark_(places_.highWaterMark) {}

std::unique_ptr<LogFile> LogFile::initWithFile(Variant variant, const std::string& fileName,
                                               std::int32_t logLevel, Places places) {
    auto log = std::make_unique<LogFile>(variant, std::move(places));
    log->logLevel_ = logLevel;
    log->openFile(fileName);
    return log;
}

LogFile::~LogFile() {
    close();
}

void LogFile::appendTimeStamp(std::string& out) const {
    if (places_.timeStamp) {
        out += places_.timeStamp();
    } else {
        appendClockTimeStamp(out);
    }
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
        std::lock_guard lock(lock_);
        if (file_ >= 0) throw LogFileAssertion("Log file is already open");
    }
    const auto directory = formDirectoryPath();
    std::optional<std::string> path;
    if (directory) path = *directory + "/" + fileName;
    report(formatString("path:%s", path ? Value(*path) : Value()));

    std::lock_guard lock(lock_);
    if (file_ >= 0) throw LogFileAssertion("Log file is already open");
    path_ = path;
    if (path) openStream(*path);
    const int error = path ? errno : ENOENT;
    if (file_ < 0) {
        std::printf("[openFile] [Error in file opening %s] =%d\n", path ? path->c_str() : "(null)",
                    error);
    }
    return file_ >= 0;
}

void LogFile::writeLine(const char* tag, std::int32_t userLevel, const char* format,
                        const std::vector<Value>& arguments) {
    if (userLevel > logLevel_) return;
    // Each thread reuses one buffer for its lines; a rare huge message does not pin its memory.
    thread_local std::string line;
    if (line.capacity() > 65536) std::string().swap(line);
    line.assign("[");
    const bool daemonNil = variant_ == Variant::Daemon && (tag == nullptr || format == nullptr);
    if (variant_ == Variant::Daemon) {
        line += daemonNil ? kDaemonNilText : tag;
    } else {
        line += levelName(userLevel);
    }
    line += "] [";
    appendTimeStamp(line);
    line += "] : ";
    if (daemonNil) {
        line += kDaemonNilText;
    } else if (format == nullptr) {
        line += kPatcherNilText;
    } else {
        appendFormattedMessage(line, format, arguments);
    }
    cutToMaximumLength(line);
    line += '\n';

    bool trimmed = false;
    {
        std::lock_guard lock(lock_);
        if (file_ < 0) return;
        if (trimBlocked_) {
            reduceToLowWaterMark();
            if (file_ < 0 || trimBlocked_) return;  // the bound holds: the line is dropped
        }
        trimmed = appendLine(line);
    }
    if (trimmed && variant_ == Variant::Patcher) printHeaderInformation();
}

// Appends the line in one write and, when that carries the file past the bound, trims it. Other
// processes may write the same log and trim it: by moving it away (this descriptor then writes
// into a removed file) or by cutting it where it stands (a line written meanwhile is cut off
// with the rest). Either can only have happened once the file is past the bound, so the file is
// looked at only then: under the file lock that every trimmer holds, a line that is no longer
// where it was written is looked for in the log as it is now and, when that trim did not keep
// it, written again under the locks, where no trim can take it. True when this call trimmed.
bool LogFile::appendLine(const std::string& line) {
    const off_t end = writeWholeLine(line);
    if (end <= highWaterMark_) return false;

    lockWhole(file_);
    if (lineStillInPlace(line, end)) {
        reduceToLowWaterMark();  // releases the lock, with the old descriptor if it moved
        return true;
    }
    ::flock(file_, LOCK_UN);
    return appendLineUnlessKept(line);
}

// Writes the line whole and returns the file's size just after it (with O_APPEND, the offset
// after the write); 0 when nothing could be written.
off_t LogFile::writeWholeLine(const std::string& line) {
    if (!writeAll(file_, line.data(), line.size())) return 0;
    return ::lseek(file_, 0, SEEK_CUR);
}

bool LogFile::isFileAtPath() const {
    struct stat open {};
    struct stat named {};
    return ::fstat(file_, &open) == 0 && ::stat(path_->c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// After another writer's trim: takes the lock of the file now at the path, then the folder's,
// which a trim holds until it has written the tail it keeps, so the log is as the last trim
// left it. The line is written again unless that trim kept it; no trim can take it meanwhile.
bool LogFile::appendLineUnlessKept(const std::string& line) {
    for (;;) {
        if (!isFileAtPath()) {
            closeStream();
            openStream(*path_);
            if (file_ < 0) return false;
        }
        lockWhole(file_);
        if (isFileAtPath()) break;
        ::flock(file_, LOCK_UN);
    }
    const int folder = lockFolderOf(*path_);
    const bool kept = lineInCurrentFile(line);
    const off_t end = kept ? 0 : writeWholeLine(line);
    if (folder >= 0) ::close(folder);  // before a trim, which takes it again
    if (end > highWaterMark_) {
        reduceToLowWaterMark();
        return true;
    }
    ::flock(file_, LOCK_UN);
    return false;
}

// Whether the file this descriptor writes is still the log at the path and still holds `line`
// where it was written, ending at `end`: then no trim has happened since.
bool LogFile::lineStillInPlace(const std::string& line, off_t end) const {
    if (!isFileAtPath()) return false;
    if (!readable_) return true;
    std::string there(line.size(), '\0');
    std::size_t got = 0;
    const off_t start = end - static_cast<off_t>(line.size());
    return readAt(file_, there.data(), there.size(), start, got) && got == line.size() &&
           there == line;
}

// Whether the log, as it is after another writer's trim, holds `line` (that trim kept it).
bool LogFile::lineInCurrentFile(const std::string& line) const {
    if (!readable_) return true;  // nothing to compare with: better a line lost than doubled
    struct stat status {};
    if (::fstat(file_, &status) != 0) return false;
    const auto size = static_cast<std::size_t>(std::min<off_t>(status.st_size, 2 * highWaterMark_));
    std::string content(size, '\0');
    std::size_t got = 0;
    if (!readAt(file_, content.data(), size, 0, got)) return false;
    content.resize(got);
    return content.find(line) != std::string::npos;
}

void LogFile::openStream(const std::string& path) {
    // Read access serves only to check, after a trim, where a line went; "e": the commands that
    // the executables run must not inherit the log.
    constexpr int kFlags = O_APPEND | O_CREAT | O_CLOEXEC;
    readable_ = true;
    file_ = ::open(path.c_str(), O_RDWR | kFlags, 0666);
    if (file_ < 0 && errno == EACCES) {
        readable_ = false;
        file_ = ::open(path.c_str(), O_WRONLY | kFlags, 0666);
    }
}

void LogFile::closeStream() {
    if (file_ >= 0) ::close(file_);
    file_ = -1;
}

void LogFile::reportTrimError(int error) {
    if (error == trimError_) return;
    trimError_ = error;
    std::printf("[reduceToLowWaterMark] [Error in file opening] =%d", error);
    std::fflush(stdout);
}

// Hands the bytes before `from` to the test hook that counts what trims cut.
void LogFile::reportCut(int descriptor, off_t from) const {
    if (!places_.trimmedAway || from <= 0) return;
    std::string cut(static_cast<std::size_t>(from), '\0');
    std::size_t got = 0;
    if (readAt(descriptor, cut.data(), cut.size(), 0, got)) {
        cut.resize(got);
        places_.trimmedAway(cut);
    }
}

// Holds the file lock for the whole trim (the writer may hold it already); it is released with
// the descriptor of the file that was trimmed.
void LogFile::reduceToLowWaterMark() {
    trimBlocked_ = false;
    lockWhole(file_);
    // The temporary path is one for every file the log has been: while one trim uses it, the
    // next one (of the new file, grown past the bound meanwhile) waits on the folder's lock. The
    // size is read once that lock is held, so that it covers the tail the trim before wrote.
    const int folder = lockFolderOf(*path_);
    struct stat status {};
    if (::fstat(file_, &status) != 0 || status.st_size < highWaterMark_) {
        ::flock(file_, LOCK_UN);
    } else {
        // The old file stays open, and so locked, until the trim is over: writers that still
        // hold it wait, then find their lines in the new file or write them again.
        const int locked = file_;
        file_ = -1;
        trimMovingAside(locked, status.st_size);
    }
    if (folder >= 0) ::close(folder);
}

void LogFile::trimMovingAside(int locked, off_t size) {
    // A stale temporary file from an interrupted trim blocks the move; the old log then stays
    // in place, the stale file's tail is appended, and the next line trims again.
    const std::string temporaryPath = *path_ + ".tmp";
    const bool moved = moveWithoutReplacing(*path_, temporaryPath);
    const int moveError = errno;
    if (!moved && moveError != EEXIST) {
        // The folder refuses the move (read-only, say): the file is cut where it stands instead.
        file_ = locked;
        reportTrimError(moveError);
        trimInPlace(size);
        ::flock(file_, LOCK_UN);
        return;
    }
    openStream(*path_);

    const int old = ::open(temporaryPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (old < 0) {
        reportTrimError(errno);
    } else {
        if (moved) trimError_ = 0;
        const off_t cut = std::max<off_t>(1, size - lowWaterMark_);
        if (file_ >= 0) {
            const off_t from = firstPieceAtOrAfter(old, cut);
            if (moved) {
                reportCut(old, from);
                char tail[kChunkSize];
                writeAll(file_, tail, readTail(old, from, size, tail, sizeof tail));
            } else {
                copyFrom(old, from, file_);  // a stale file: nobody writes it any more
            }
        }
        ::close(old);
    }
    removeItem(temporaryPath);
    ::close(locked);
}

// Keeps the same pieces as a trim does, by reading them through a descriptor of its own (the
// log's own only appends) and then rewriting the file from its start. A log that cannot be read
// restarts empty, as after a trim whose temporary file cannot be opened. When even the cut fails,
// lines are held back until a trim works, so the file never grows past the bound.
void LogFile::trimInPlace(off_t size) {
    char tail[kChunkSize];
    std::size_t got = 0;
    const int reader = ::open(path_->c_str(), O_RDONLY | O_CLOEXEC);
    if (reader >= 0) {
        const off_t from = firstPieceAtOrAfter(reader, std::max<off_t>(1, size - lowWaterMark_));
        got = readTail(reader, from, size, tail, sizeof tail);
        reportCut(reader, from);
        ::close(reader);
    }
    if (::ftruncate(file_, 0) != 0) {
        reportTrimError(errno);
        trimBlocked_ = true;
        return;
    }
    writeAll(file_, tail, got);
}

void LogFile::close() {
    std::lock_guard lock(lock_);
    if (file_ < 0) return;
    closeStream();
    path_.reset();
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
    std::lock_guard lock(lock_);
    return path_;
}

bool LogFile::isOpen() const {
    std::lock_guard lock(lock_);
    return file_ >= 0;
}

}  // namespace corvant
