// A patch of one file against the version an installation holds: made by the vendor's builder with
// libzstd's patch-from mode (the old file is the reference every match may point into), applied by
// the patcher before it changes anything. A patch is one zstd frame that declares the size of its
// result; both ends give the decoder the old file as the frame's prefix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "patcher/update_format.h"

namespace ostrel {

// Files above this size ship whole. While it decodes, the patcher holds the old file in memory
// and the decoder keeps a window of at most the result's size, so one patch needs no more than
// twice this (and a few hundred KiB of buffers), whatever the patch asks for.
inline constexpr std::uint64_t kLargestPatchedFile = std::uint64_t{64} << 20;
// The window of every patch, as a power of two: it spans the largest old and new file together,
// so a match anywhere in the new file may reach back to the old file's first byte. The patcher
// refuses a patch whose frame asks for a larger one.
inline constexpr int kPatchWindowLog = 27;
static_assert(2 * kLargestPatchedFile <= std::uint64_t{1} << kPatchWindowLog);
// The compression level the patches are made with (slow to make, small to ship).
inline constexpr int kPatchLevel = 19;

// A patch of the regular file `newPath` against the regular file `basePath` (links followed), when
// it is smaller than the new file. Without a patch, `why` says why the new file ships whole (too
// large, or no patch smaller than the file), or, with `failed`, why nothing could be made.
struct PatchMaking {
    std::optional<std::string> patch;
    std::string why;
    bool failed = false;
};
PatchMaking makeFilePatch(const std::string& basePath, const std::string& newPath);

// What applying a patch gave. `refusal`, when set, is one line naming why no result was made (the
// caller names the file); `baseDiffers` then says whether the installed file was at fault: it is
// missing, not a regular file, unreadable, or not the one the patch was made from, so that the
// full update is the way on.
struct PatchApplication {
    std::optional<std::string> refusal;
    bool baseDiffers = false;
};

// Why the installed file at `basePath` is not the regular file `base` that a patch was made from,
// if it is not: the line applyFilePatch would refuse with, found without decoding anything.
std::optional<std::string> checkPatchBase(const std::string& basePath, const FileIdentity& base);

// Makes `resultPath` (created new, never over anything, with the permission bits `mode`, synced)
// from the patch at `patchPath` and the installed file at `basePath`. The installed file must be
// the regular file `base` (read once, a link not followed) before a byte of the patch is decoded;
// the patch must be a regular file no larger than the result and decode to exactly `result`.
// Anything else refuses, and no result is left behind.
PatchApplication applyFilePatch(const std::string& basePath, const FileIdentity& base,
                                const std::string& patchPath, const std::string& resultPath,
                                const FileIdentity& result, unsigned mode);

// What applyFilePatch would give, found by decoding the patch without writing anything.
PatchApplication tryFilePatch(const std::string& basePath, const FileIdentity& base,
                              const std::string& patchPath, const FileIdentity& result);

}  // namespace ostrel
