#include "common/plist.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "common/shell.h"
#include "test_folder.h"

namespace corvant {
namespace {

using testing::readFile;
using testing::TestFolder;
using testing::writeFile;

Dictionary everyKind() {
    return Dictionary{
        {"string", "two words & <markup>"},
        {"empty", ""},
        {"positive", 42},
        {"negative", -12345678901LL},
        {"minusOne", -1},
        {"real", 2.5},
        {"yes", true},
        {"no", false},
        {"date", Date{387201600}},
        {"data", Data{{0, 1, 2, 0xff}}},
        {"array", Array{"a", 1, Array{}, Dictionary{{"k", "v"}}}},
        {"nested", Dictionary{{"deeper", Dictionary{{"deepest", Array{"x"}}}}}},
        {"utf8", "Grüße"},
    };
}

// Converts a property-list file with the system's plistutil, as another writer would.
bool convertWithPlistutil(const std::string& from, const std::string& to, const char* format) {
    return runShellCommand("plistutil -i " + shellEscaped(from) + " -o " + shellEscaped(to) +
                           " -f " + format + " >/dev/null 2>&1") == 0;
}

TEST(PropertyList, RoundTripThroughXml) {
    TestFolder folder;
    const std::string path = folder / "every.plist";
    ASSERT_TRUE(writeDictionaryToFile(everyKind(), path));
    EXPECT_EQ(readDictionaryFromFile(path), everyKind());
    EXPECT_NE(readFile(path).find("<integer>-1</integer>"), std::string::npos);
}

TEST(PropertyList, RoundTripThroughBinaryMadeByPlistutil) {
    TestFolder folder;
    ASSERT_TRUE(writeDictionaryToFile(everyKind(), folder / "every.plist"));
    ASSERT_TRUE(convertWithPlistutil(folder / "every.plist", folder / "every.bplist", "bin"));
    ASSERT_EQ(readFile(folder / "every.bplist").substr(0, 6), "bplist");
    EXPECT_EQ(readDictionaryFromFile(folder / "every.bplist"), everyKind());
}

TEST(PropertyList, ReadsXmlWrittenByHand) {
    TestFolder folder;
    writeFile(folder / "hand.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>PatcherStatus</key>
	<true/>
	<key>Count</key>
	<integer>-3</integer>
	<key>List</key>
	<array><string>one</string><real>0.5</real></array>
</dict>
</plist>
)");
    EXPECT_EQ(readDictionaryFromFile(folder / "hand.plist"),
              (Dictionary{{"PatcherStatus", true}, {"Count", -3}, {"List", Array{"one", 0.5}}}));
}

TEST(PropertyList, UnreadableContentGivesNone) {
    TestFolder folder;
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""},
        {"text", "just some text"},
        {"truncated_xml", "<?xml version=\"1.0\"?><plist><dict><key>a</key>"},
        {"truncated_binary", "bplist00\xd1\x01\x02"},
        {"array_root",
         "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>a</string></array></plist>"},
        {"string_root", "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>a</string></plist>"},
    };
    for (const auto& [name, content] : cases) {
        writeFile(folder / name, content);
        EXPECT_FALSE(readDictionaryFromFile(folder / name).has_value()) << name;
    }
    EXPECT_FALSE(readDictionaryFromFile(folder / "missing").has_value());
    EXPECT_FALSE(readDictionaryFromFile(folder.path()).has_value()) << "a folder";
}

TEST(PropertyList, ParsesValuesOfAnyRoot) {
    auto parsed = parsePropertyList(toXmlPropertyList(Value(Array{"a", 7})));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, Value(Array{"a", 7}));
}

TEST(PropertyList, WriteReplacesAtomicallyAndLeavesNoTemporaryFile) {
    TestFolder folder;
    const std::string path = folder / "status.plist";
    ASSERT_TRUE(writeDictionaryToFile({{"PatcherStatus", false}}, path));
    ::chmod(path.c_str(), 0600);
    ASSERT_TRUE(writeDictionaryToFile({{"PatcherStatus", true}}, path));
    EXPECT_EQ(readDictionaryFromFile(path), (Dictionary{{"PatcherStatus", true}}));
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u) << "a replaced file keeps its mode";
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder.path()))
        ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(PropertyList, WriteIntoMissingFolderFails) {
    TestFolder folder;
    EXPECT_FALSE(writeDictionaryToFile({{"a", 1}}, folder / "no/such/folder/file.plist"));
}

}  // namespace
}  // namespace corvant
