// A patch of one file against its old version: made, then applied to give the new file byte for
// byte, or refused with one line and no result left behind.
#include "patcher/file_patch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "patcher/sha256.h"
#include "test_folder.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using corvant::testing::readFile;
using corvant::testing::TestFolder;
using corvant::testing::writeFile;

// Lines of settings, long enough that the result takes the decoder several blocks.
std::string oldVersion() {
    std::string text;
    unsigned state = 7;
    for (int line = 0; line < 12000; ++line) {
        state = state * 1103515245u + 12345u;
        text += "setting" + std::to_string(line) + " = " + std::to_string(state >> 8) + "\n";
    }
    return text;
}

// The old version with a few lines changed, some removed and some added.
std::string newVersion(const std::string& old) {
    std::string text = old;
    text.replace(1000, 40, "a changed line\n");
    text.erase(50000, 3000);
    text.insert(120000, "an added line\nand another\n");
    text.replace(text.size() - 100, 20, "the new ending\n");
    return text;
}

FileIdentity identityOf(const std::string& bytes) {
    return {bytes.size(), sha256Hex(bytes)};
}

struct Patching {
    TestFolder folder;
    std::string base = folder / "installed", patch = folder / "patch", result = folder / "result";
    std::string newBytes;
    FileIdentity baseIdentity, resultIdentity;

    Patching() {
        const std::string oldBytes = oldVersion();
        newBytes = newVersion(oldBytes);
        writeFile(base, oldBytes);
        writeFile(patch, madePatch(base, newBytes));
        baseIdentity = identityOf(oldBytes);
        resultIdentity = identityOf(newBytes);
    }

    // Made once: every row spoils its own copy.
    std::string madePatch(const std::string& basePath, const std::string& bytes) {
        static const std::string made = [&] {
            writeFile(folder / "new", bytes);
            PatchMaking making = makeFilePatch(basePath, folder / "new");
            EXPECT_TRUE(making.patch) << making.why;
            return making.patch.value_or("");
        }();
        return made;
    }
};

struct ApplyCase {
    const char* name;
    std::function<void(Patching&)> spoil;
    const char* refusal;  // empty: the new file is made
    bool baseDiffers;
};

class FilePatchTest : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(FilePatchTest, MakesTheNewFileOrRefusesLeavingNothing) {
    Patching p;
    GetParam().spoil(p);
    const bool existed = fs::exists(p.result);
    PatchApplication applied =
        applyFilePatch(p.base, p.baseIdentity, p.patch, p.result, p.resultIdentity, 0751);
    EXPECT_EQ(applied.refusal.value_or(""), GetParam().refusal);
    EXPECT_EQ(applied.baseDiffers, GetParam().baseDiffers);
    // "--check" finds the same about the installed file without decoding.
    EXPECT_EQ(checkPatchBase(p.base, p.baseIdentity).value_or(""),
              GetParam().baseDiffers ? GetParam().refusal : "");
    if (applied.refusal) {
        // What stood at the result's place before is not the patcher's to remove.
        EXPECT_EQ(fs::exists(p.result), existed);
        return;
    }
    EXPECT_EQ(readFile(p.result), p.newBytes);
    struct stat status {};
    ASSERT_EQ(::stat(p.result.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0751u);
}

INSTANTIATE_TEST_SUITE_P(
    Patcher, FilePatchTest,
    ::testing::Values(
        ApplyCase{"NewFileByteForByte", [](Patching&) {}, "", false},
        ApplyCase{"DriftedBase",
                  [](Patching& p) {
                      std::string bytes = readFile(p.base);
                      bytes[bytes.size() / 2] ^= 1;
                      writeFile(p.base, bytes);
                  },
                  "the installed file is not the one the patch was made from (its SHA-256 "
                  "differs)",
                  true},
        ApplyCase{"ShorterBase",
                  [](Patching& p) { fs::resize_file(p.base, fs::file_size(p.base) - 1); },
                  "the installed file is not the one the patch was made from (268942 bytes, not "
                  "268943)",
                  true},
        ApplyCase{"MissingBase", [](Patching& p) { fs::remove(p.base); },
                  "the installed file is missing", true},
        ApplyCase{"BaseIsALink",
                  [](Patching& p) {
                      fs::rename(p.base, p.folder / "elsewhere");
                      fs::create_symlink(p.folder / "elsewhere", p.base);
                  },
                  "the installed file is not a regular file", true},
        ApplyCase{"TruncatedPatch",
                  [](Patching& p) { fs::resize_file(p.patch, fs::file_size(p.patch) - 8); },
                  "the patch ends before its result is complete", false},
        ApplyCase{"PatchGoesOnAfterItsEnd",
                  [](Patching& p) { writeFile(p.patch, readFile(p.patch) + "x"); },
                  "the patch goes on after its end", false},
        ApplyCase{"PatchMakesMoreThanListed", [](Patching& p) { p.resultIdentity.size -= 1; },
                  "the patch makes 265939 bytes, not 265938", false},
        ApplyCase{"ResultDiffers",
                  [](Patching& p) {
                      std::string other = p.newBytes;
                      other[0] ^= 1;
                      p.resultIdentity = identityOf(other);
                  },
                  "the patch does not make the file it is for (the result's SHA-256 differs)",
                  false},
        ApplyCase{"ResultAlreadyThere", [](Patching& p) { writeFile(p.result, "someone's"); },
                  "the result cannot be created: File exists", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FilePatch, ShipsWholeWhatNoPatchShrinks) {
    TestFolder folder;
    writeFile(folder / "old", oldVersion());
    // Bytes without repeats and without anything in common with the old file.
    std::mt19937 random(1);
    std::string noise;
    for (int i = 0; i < 4096; ++i) noise += static_cast<char>(random());
    writeFile(folder / "noise", noise);
    PatchMaking made = makeFilePatch(folder / "old", folder / "noise");
    EXPECT_FALSE(made.patch);
    EXPECT_FALSE(made.failed);
    EXPECT_EQ(made.why, "the patch is not smaller than " + folder / "noise");

    writeFile(folder / "large", "");
    fs::resize_file(folder / "large", kLargestPatchedFile + 1);
    made = makeFilePatch(folder / "old", folder / "large");
    EXPECT_FALSE(made.patch);
    EXPECT_FALSE(made.failed);
    EXPECT_EQ(made.why,
              folder / "large" + " is larger than 67108864 bytes, above which files ship whole");
}

}  // namespace
}  // namespace ostrel
