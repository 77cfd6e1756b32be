#include "patcher/file_patch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "common/regular_file.h"
#include "patcher/sha256.h"

namespace ostrel {

namespace {

// The longest zstd frame header: its magic number, descriptor, window, dictionary id and size.
constexpr std::size_t kLongestFrameHeader = 18;
constexpr int kSmallestWindowLog = 10;

struct FreeCompressor {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct FreeDecompressor {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

std::string systemError() {
    return std::strerror(errno);
}

// The smallest window, as a power of two, that spans `bytes`.
int windowLogFor(std::uint64_t bytes) {
    int log = kSmallestWindowLog;
    while (log < kPatchWindowLog && (std::uint64_t{1} << log) < bytes) ++log;
    return log;
}

// Why a file that readRegularFileInPieces would not read whole within `maxBytes` was refused.
std::string whyUnread(const std::string& what, const std::string& path, std::uint64_t maxBytes) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        return errno == ENOENT ? what + " is missing" : what + " cannot be read: " + systemError();
    if (!S_ISREG(status.st_mode)) return what + " is not a regular file";
    if (static_cast<std::uint64_t>(status.st_size) > maxBytes)
        return what + " is larger than " + std::to_string(maxBytes) + " bytes";
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) return what + " cannot be read: " + systemError();
    ::close(descriptor);
    return what + " cannot be read";
}

// Why the installed file is not the regular file `base`, if it is not; its bytes go to `bytes`
// unless that is null.
std::optional<std::string> readBase(const std::string& path, const FileIdentity& base,
                                    std::string* bytes) {
    const std::string what = "the installed file";
    if (bytes) bytes->reserve(base.size);
    std::uint64_t total = 0;
    Sha256 digest;
    const bool read = corvant::readRegularFileInPieces(path, corvant::LinkAtPath::Refuse, base.size,
                                                       [&](const char* piece, std::size_t size) {
                                                           if (bytes) bytes->append(piece, size);
                                                           total += size;
                                                           digest.add(piece, size);
                                                           return true;
                                                       });
    if (read && total == base.size) {
        if (digest.hex() == base.sha256) return std::nullopt;
        return what + " is not the one the patch was made from (its SHA-256 differs)";
    }
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        static_cast<std::uint64_t>(status.st_size) != base.size)
        return what + " is not the one the patch was made from (" + std::to_string(status.st_size) +
               " bytes, not " + std::to_string(base.size) + ")";
    return whyUnread(what, path, base.size);
}

// One patch decoded piece by piece into an open result file (none: -1), held to the result's size.
class PatchDecoding {
  public:
    PatchDecoding(ZSTD_DCtx* context, int result, const FileIdentity& expected)
        : mContext(context), mResult(result), mExpected(expected), mOut(ZSTD_DStreamOutSize()) {}

    // Takes the next piece of the patch; false once the patch is refused.
    bool take(const char* piece, std::size_t size) {
        if (mHeaderChecked) return decode(piece, size);
        mHead.append(piece, size);
        if (mHead.size() < kLongestFrameHeader) return true;
        return checkHeadAndDecode();
    }

    // After the last piece: why the patch is refused, if it is.
    std::optional<std::string> finish() {
        if (!mRefusal && !mHeaderChecked) checkHeadAndDecode();
        if (!mRefusal && !mFrameDone) mRefusal = "the patch ends before its result is complete";
        if (!mRefusal && mDigest.hex() != mExpected.sha256)
            mRefusal = "the patch does not make the file it is for (the result's SHA-256 differs)";
        return mRefusal;
    }

    const std::optional<std::string>& refusal() const { return mRefusal; }

  private:
    bool refuse(std::string why) {
        mRefusal = std::move(why);
        return false;
    }

    // The frame must say that it makes exactly the expected size before anything is decoded.
    bool checkHeadAndDecode() {
        mHeaderChecked = true;
        const unsigned long long declared = ZSTD_getFrameContentSize(mHead.data(), mHead.size());
        if (declared == ZSTD_CONTENTSIZE_ERROR)
            return refuse("the patch does not begin with a frame header");
        if (declared == ZSTD_CONTENTSIZE_UNKNOWN)
            return refuse("the patch does not say the size of its result");
        if (declared != mExpected.size)
            return refuse("the patch makes " + std::to_string(declared) + " bytes, not " +
                          std::to_string(mExpected.size));
        std::string head = std::move(mHead);
        return decode(head.data(), head.size());
    }

    bool decode(const char* piece, std::size_t size) {
        ZSTD_inBuffer in{piece, size, 0};
        // Output can wait in the decoder after the input is spent: drain it while it fills ours.
        bool outputFull = false;
        while (!mFrameDone && (in.pos < in.size || outputFull)) {
            ZSTD_outBuffer out{mOut.data(), mOut.size(), 0};
            const std::size_t left = ZSTD_decompressStream(mContext, &out, &in);
            if (ZSTD_isError(left))
                return refuse(std::string("the patch cannot be decoded: ") +
                              ZSTD_getErrorName(left));
            if (!keep(out.pos)) return false;
            outputFull = out.pos == out.size;
            mFrameDone = left == 0;
        }
        if (in.pos < in.size) return refuse("the patch goes on after its end");
        return true;
    }

    // libzstd itself refuses a frame that outgrows the size its header declares (checked above);
    // this holds the result to the listed size whatever the library does.
    bool keep(std::size_t size) {
        if (size > mExpected.size - mWritten)
            return refuse("the patch decodes to more than " + std::to_string(mExpected.size) +
                          " bytes");
        mWritten += size;
        mDigest.add(mOut.data(), size);
        if (mResult >= 0 && !corvant::writeAll(mResult, mOut.data(), size))
            return refuse("the result cannot be written: " + systemError());
        return true;
    }

    ZSTD_DCtx* mContext;
    int mResult;
    const FileIdentity& mExpected;
    std::vector<char> mOut;
    std::string mHead;  // the patch's first bytes, until they hold a whole frame header
    bool mHeaderChecked = false;
    bool mFrameDone = false;
    std::uint64_t mWritten = 0;
    Sha256 mDigest;
    std::optional<std::string> mRefusal;
};

// Decodes the patch at `patchPath` against `baseBytes` into the open file `result`.
std::optional<std::string> decodePatch(const std::string& baseBytes, const std::string& patchPath,
                                       int result, const FileIdentity& expected) {
    std::unique_ptr<ZSTD_DCtx, FreeDecompressor> context(ZSTD_createDCtx());
    if (!context ||
        ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, kPatchWindowLog)) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(context.get(), baseBytes.data(), baseBytes.size())))
        return "the patch decoder cannot be started";
    PatchDecoding decoding(context.get(), result, expected);
    // A patch is only ever shipped when it is smaller than the file it makes.
    const std::uint64_t largestPatch = expected.size;
    if (!corvant::readRegularFileInPieces(patchPath, corvant::LinkAtPath::Refuse, largestPatch,
                                          [&decoding](const char* piece, std::size_t size) {
                                              return decoding.take(piece, size);
                                          }))
        return decoding.refusal() ? decoding.refusal()
                                  : whyUnread("the patch", patchPath, largestPatch);
    return decoding.finish();
}

// `patch` made of `next` with `base` as the frame's prefix; otherwise libzstd's reason.
std::optional<std::string> compressAgainst(const std::string& base, const std::string& next,
                                           std::string& patch) {
    std::unique_ptr<ZSTD_CCtx, FreeCompressor> context(ZSTD_createCCtx());
    if (!context) return "the compressor cannot be started";
    const std::pair<ZSTD_cParameter, int> settings[] = {
        {ZSTD_c_compressionLevel, kPatchLevel},
        {ZSTD_c_enableLongDistanceMatching, 1},
        {ZSTD_c_windowLog, windowLogFor(base.size() + next.size())},
        {ZSTD_c_contentSizeFlag, 1},
    };
    std::size_t done = 0;
    for (const auto& [parameter, value] : settings)
        if (!ZSTD_isError(done)) done = ZSTD_CCtx_setParameter(context.get(), parameter, value);
    if (!ZSTD_isError(done)) done = ZSTD_CCtx_refPrefix(context.get(), base.data(), base.size());
    if (!ZSTD_isError(done)) {
        patch.resize(ZSTD_compressBound(next.size()));
        done = ZSTD_compress2(context.get(), patch.data(), patch.size(), next.data(), next.size());
    }
    if (ZSTD_isError(done)) return ZSTD_getErrorName(done);
    patch.resize(done);
    return std::nullopt;
}

}  // namespace

PatchMaking makeFilePatch(const std::string& basePath, const std::string& newPath) {
    PatchMaking making;
    for (const std::string* path : {&basePath, &newPath}) {
        struct stat status {};
        const bool found = ::stat(path->c_str(), &status) == 0;
        if (!found || !S_ISREG(status.st_mode)) {
            making.failed = true;
            making.why =
                *path + (found ? " is not a regular file" : " cannot be read: " + systemError());
            return making;
        }
        if (static_cast<std::uint64_t>(status.st_size) > kLargestPatchedFile) {
            making.why = *path + " is larger than " + std::to_string(kLargestPatchedFile) +
                         " bytes, above which files ship whole";
            return making;
        }
    }
    std::optional<std::string> base = corvant::readRegularFile(basePath, kLargestPatchedFile);
    std::optional<std::string> next = corvant::readRegularFile(newPath, kLargestPatchedFile);
    if (!base || !next) {
        making.failed = true;
        making.why = (base ? newPath : basePath) + " cannot be read";
        return making;
    }
    std::string patch;
    if (std::optional<std::string> why = compressAgainst(*base, *next, patch)) {
        making.failed = true;
        making.why = "no patch of " + newPath + " can be made: " + *why;
        return making;
    }
    if (patch.size() >= next->size()) {
        making.why = "the patch is not smaller than " + newPath;
        return making;
    }
    making.patch = std::move(patch);
    return making;
}

std::optional<std::string> checkPatchBase(const std::string& basePath, const FileIdentity& base) {
    return readBase(basePath, base, nullptr);
}

namespace {

std::optional<std::string> whyTooLarge(const FileIdentity& base, const FileIdentity& result) {
    if (base.size <= kLargestPatchedFile && result.size <= kLargestPatchedFile) return std::nullopt;
    return "the patch is for a file larger than " + std::to_string(kLargestPatchedFile) +
           " bytes, which ships whole";
}

}  // namespace

PatchApplication tryFilePatch(const std::string& basePath, const FileIdentity& base,
                              const std::string& patchPath, const FileIdentity& result) {
    if (std::optional<std::string> why = whyTooLarge(base, result)) return {why, false};
    std::string baseBytes;
    if (std::optional<std::string> why = readBase(basePath, base, &baseBytes)) return {why, true};
    return {decodePatch(baseBytes, patchPath, -1, result), false};
}

PatchApplication applyFilePatch(const std::string& basePath, const FileIdentity& base,
                                const std::string& patchPath, const std::string& resultPath,
                                const FileIdentity& result, unsigned mode) {
    if (std::optional<std::string> why = whyTooLarge(base, result)) return {why, false};
    std::string baseBytes;
    if (std::optional<std::string> why = readBase(basePath, base, &baseBytes)) return {why, true};

    // Private until it is whole; the item's mode once it is.
    const int descriptor =
        ::open(resultPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) return {"the result cannot be created: " + systemError(), false};
    std::optional<std::string> why = decodePatch(baseBytes, patchPath, descriptor, result);
    if (!why && (::fchmod(descriptor, mode & 07777) != 0 || ::fsync(descriptor) != 0))
        why = "the result cannot be written: " + systemError();
    if (::close(descriptor) != 0 && !why) why = "the result cannot be written: " + systemError();
    if (why) ::unlink(resultPath.c_str());
    return {why, false};
}

}  // namespace ostrel
