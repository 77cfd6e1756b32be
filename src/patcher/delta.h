// The patched files of a delta update, made from the installed application before anything of it
// changes: each result is written into the update's own bundle, so that the run then goes on
// exactly as for a full update.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "patcher/update_format.h"

namespace ostrel {

// The status file's key, beside "PatcherStatus", that tells the client a delta update was refused
// because the installation is not the one it was made from: the full update is the way on.
inline constexpr const char* kDeltaBaseDiffersKey = "DeltaBaseDiffers";

// Why a patched file could not be made: one line naming the file; `baseDiffers` when the installed
// file was at fault (missing, not a regular file, unreadable, or changed since).
struct DeltaRefusal {
    std::string line;
    bool baseDiffers = false;
};

// Makes each of `patches` from the file at its place in `application` into the update's bundle in
// `updateFolder`. The room the results need is looked for first. On a refusal, every result this
// call made is removed again.
std::optional<DeltaRefusal> applyPatches(const std::string& updateFolder,
                                         const std::string& application,
                                         const std::vector<PatchedFile>& patches);

// What applyPatches would say, found without writing anything: a line for each patched file whose
// patch would be refused, and for the room. `notes` tell what matches, and the room needed.
struct DeltaPreview {
    std::vector<std::string> refusals;
    std::vector<std::string> notes;
};
DeltaPreview previewPatches(const std::string& updateFolder, const std::string& application,
                            const std::vector<PatchedFile>& patches);

}  // namespace ostrel
