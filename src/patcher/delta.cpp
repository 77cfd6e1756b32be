#include "patcher/delta.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "common/format.h"
#include "common/paths.h"
#include "patcher/file_patch.h"
#include "patcher/manifest.h"
#include "patcher/places.h"

namespace ostrel {

using corvant::formatString;

namespace {

std::string sizeText(std::uint64_t bytes) {
    if (bytes < 1000000) return formatString("%llu bytes", static_cast<unsigned long long>(bytes));
    return formatString("%.1f MB", static_cast<double>(bytes) / 1e6);
}

std::uint64_t bytesNeeded(const std::vector<PatchedFile>& patches) {
    std::uint64_t bytes = 0;
    for (const PatchedFile& file : patches) bytes += file.result.size;
    return bytes;
}

// Why the update's bundle has no room for the results; none when it has.
std::optional<std::string> noRoom(const std::string& bundle, std::uint64_t needed) {
    std::optional<std::uintmax_t> available = freeBytes(bundle);
    if (!available || *available >= needed) return std::nullopt;  // the writes tell the rest
    return formatString("no room for the patched files: they need %@, the file system of %@ has %@",
                        sizeText(needed), bundle, sizeText(*available));
}

DeltaRefusal refusalFor(const PatchedFile& file, const PatchApplication& application) {
    return {formatString("%@ cannot be patched: %@", file.path, *application.refusal),
            application.baseDiffers};
}

// A result's folder in the update's bundle is the new version's, which may not be writable by its
// owner: opened for the write, and given its bits back after.
class OpenedFolder {
  public:
    explicit OpenedFolder(const std::string& folder) : folder_(folder) {
        struct stat status {};
        if (::stat(folder_.c_str(), &status) != 0 || (status.st_mode & S_IWUSR) != 0) return;
        mode_ = status.st_mode & 07777;
        if (::chmod(folder_.c_str(), *mode_ | S_IWUSR) != 0) mode_.reset();
    }
    ~OpenedFolder() {
        if (mode_) ::chmod(folder_.c_str(), *mode_);
    }
    OpenedFolder(const OpenedFolder&) = delete;
    OpenedFolder& operator=(const OpenedFolder&) = delete;

  private:
    std::string folder_;
    std::optional<mode_t> mode_;
};

}  // namespace

std::optional<DeltaRefusal> applyPatches(const std::string& updateFolder,
                                         const std::string& application,
                                         const std::vector<PatchedFile>& patches) {
    const std::string bundle = bundleOf(updateFolder);
    if (auto why = noRoom(bundle, bytesNeeded(patches))) return DeltaRefusal{*why, false};
    std::vector<std::string> made;
    for (const PatchedFile& file : patches) {
        const std::string result = bundle + "/" + file.path;
        OpenedFolder folder(corvant::parentOf(result));
        PatchApplication applied = applyFilePatch(application + "/" + file.path, file.base,
                                                  patchOf(updateFolder, file.path), result,
                                                  file.result, static_cast<unsigned>(file.mode));
        if (!applied.refusal) {
            made.push_back(result);
            continue;
        }
        for (const std::string& path : made) {
            OpenedFolder again(corvant::parentOf(path));
            ::unlink(path.c_str());
        }
        return refusalFor(file, applied);
    }
    return std::nullopt;
}

DeltaPreview previewPatches(const std::string& updateFolder, const std::string& application,
                            const std::vector<PatchedFile>& patches) {
    DeltaPreview preview;
    const std::string bundle = bundleOf(updateFolder);
    const std::uint64_t needed = bytesNeeded(patches);
    if (auto why = noRoom(bundle, needed)) preview.refusals.push_back(*why);
    preview.notes.push_back(formatString("%d patched files are made into %@, needing %@",
                                         static_cast<int>(patches.size()), bundle,
                                         sizeText(needed)));
    for (const PatchedFile& file : patches) {
        PatchApplication tried = tryFilePatch(application + "/" + file.path, file.base,
                                              patchOf(updateFolder, file.path), file.result);
        if (tried.refusal)
            preview.refusals.push_back(refusalFor(file, tried).line);
        else
            preview.notes.push_back("patched file " + file.path +
                                    ": the installed file is its base, and the patch makes it");
    }
    return preview;
}

}  // namespace ostrel
