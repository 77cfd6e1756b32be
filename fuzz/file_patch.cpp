// The patch reader on any bytes: each input is the patch of a fixed installed file, applied as the
// patcher applies one. Whatever it holds, the result is the new file or nothing: a refused patch
// leaves no result behind, and a patch is never taken for one that makes other bytes.
#include "patcher/file_patch.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "patcher/sha256.h"

namespace {

// The installed file: lines of settings (the seeds in fuzz/corpus/file_patch are patches of it).
std::string installedFile() {
    std::string text;
    for (int line = 0; line < 200; ++line)
        text +=
            "setting" + std::to_string(line) + " = " + std::to_string(line * 7919 % 1000) + "\n";
    return text;
}

// The file the patch is for: three of the settings changed, one added.
std::string newFile() {
    std::string text = installedFile();
    text.replace(text.find("setting10 ="), 14, "setting10 = 42");
    text.replace(text.find("setting100 ="), 15, "setting100 = 43");
    text.replace(text.find("setting150 ="), 15, "setting150 = 44");
    return text + "setting200 = 1\n";
}

void writeBytes(const std::string& path, const char* bytes, std::size_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes, std::streamsize(size));
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Stage {
    std::string folder, base, patch, result;
    ostrel::FileIdentity baseIdentity, resultIdentity;
    std::string expected = newFile();

    Stage() {
        char name[] = "/tmp/fuzz-file-patch-XXXXXX";
        folder = ::mkdtemp(name) ? name : "/tmp";
        base = folder + "/installed";
        patch = folder + "/patch";
        result = folder + "/result";
        const std::string installed = installedFile();
        writeBytes(base, installed.data(), installed.size());
        baseIdentity = {installed.size(), ostrel::sha256Hex(installed)};
        resultIdentity = {expected.size(), ostrel::sha256Hex(expected)};
    }
    ~Stage() {
        for (const std::string* path : {&base, &patch, &result}) ::unlink(path->c_str());
        ::rmdir(folder.c_str());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Stage stage;
    writeBytes(stage.patch, reinterpret_cast<const char*>(data), size);
    const ostrel::PatchApplication applied = ostrel::applyFilePatch(
        stage.base, stage.baseIdentity, stage.patch, stage.result, stage.resultIdentity, 0644);
    const bool resultThere = ::access(stage.result.c_str(), F_OK) == 0;
    if (applied.refusal ? resultThere : readBytes(stage.result) != stage.expected) abort();
    if (applied.refusal && applied.baseDiffers) abort();  // the installed file never changes
    ::unlink(stage.result.c_str());
    return 0;
}
