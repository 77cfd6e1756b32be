#include "common/plist.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

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
    // Neither is waited for: a FIFO without a writer, nor a device behind a link.
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(readDictionaryFromFile(folder / "fifo").has_value()) << "a FIFO";
    std::filesystem::create_symlink("/dev/zero", folder / "zero");
    EXPECT_FALSE(readDictionaryFromFile(folder / "zero").has_value()) << "a device";
}

std::string bigEndian(std::uint64_t number, int width) {
    std::string bytes;
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) bytes += char(number >> shift);
    return bytes;
}

std::string ref(std::uint64_t object) {
    return bigEndian(object, 4);
}

// A binary property list of `objects` (marker byte and content each), the first one the top.
std::string binaryList(const std::vector<std::string>& objects) {
    std::string bytes = "bplist00";
    std::string table;
    for (const auto& object : objects) {
        table += bigEndian(bytes.size(), 4);
        bytes += object;
    }
    const std::size_t tableAt = bytes.size();
    return bytes + table + std::string(6, '\0') + "\x04\x04" + bigEndian(objects.size(), 8) +
           bigEndian(0, 8) + bigEndian(tableAt, 8);
}

// Arrays nested `depth` deep, each holding the next (or, `twice`, holding it two times).
std::string nestedArrays(int depth, bool twice = false) {
    std::vector<std::string> objects;
    for (int i = 1; i < depth; ++i)
        objects.push_back(twice ? "\xA2" + ref(i) + ref(i) : "\xA1" + ref(i));
    objects.push_back("\xA0");
    return binaryList(objects);
}

std::string xmlList(const std::string& body) {
    return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + body + "</plist>";
}

std::string nestedXmlArrays(int depth) {
    std::string open;
    std::string close;
    for (int i = 0; i < depth; ++i) open += "<array>", close += "</array>";
    return xmlList("<dict><key>k</key>" + open + close + "</dict>");
}

// Files that once aborted, hung or exhausted the reader are unreadable now; the ones just inside
// the limits still read.
TEST(PropertyList, HostileFilesAreUnreadable) {
    TestFolder folder;
    const std::string nul("\0", 1);
    const std::pair<const char*, std::string> unreadable[] = {
        {"xml_nul_in_string", xmlList("<dict><key>k</key><string>a" + nul + "b</string></dict>")},
        {"xml_nul_in_key", xmlList("<dict><key>k" + nul + "y</key><string>v</string></dict>")},
        {"binary_nul_in_utf16_key",
         binaryList({"\xD1" + ref(1) + ref(2), "\x62" + nul + "k" + nul + nul, "\x51v"})},
        {"binary_nul_in_utf16_string",
         binaryList({"\xD1" + ref(1) + ref(2), "\x51k", "\x62" + nul + "v" + nul + nul})},
        {"binary_nul_in_ascii_key", binaryList({"\xD1" + ref(1) + ref(2), "\x52k" + nul, "\x51v"})},
        {"xml_nested_65_deep", nestedXmlArrays(64)},
        {"binary_nested_65_deep", nestedArrays(65)},
        {"binary_nested_100000_deep", nestedArrays(100000)},
        {"binary_shared_arrays_2_to_the_40", nestedArrays(41, true)},
        {"binary_reference_cycle", binaryList({"\xA1" + ref(0)})},
    };
    for (const auto& [name, content] : unreadable) {
        writeFile(folder / name, content);
        EXPECT_FALSE(readDictionaryFromFile(folder / name).has_value()) << name;
    }
    writeFile(folder / "large", xmlList("<dict/>") + std::string(100, ' '));
    EXPECT_FALSE(readDictionaryFromFile(folder / "large", 100).has_value()) << "over the size";
    EXPECT_TRUE(readDictionaryFromFile(folder / "large", 200).has_value());

    writeFile(folder / "xml_64_deep", nestedXmlArrays(63));
    EXPECT_TRUE(readDictionaryFromFile(folder / "xml_64_deep").has_value());
    const auto shared = binaryList({"\xD3" + ref(1) + ref(2) + ref(3) + ref(4) + ref(4) + ref(4),
                                    std::string("\x51") + "a", std::string("\x51") + "b",
                                    std::string("\x51") + "c", "\x53one"});
    writeFile(folder / "shared_string", shared);
    EXPECT_EQ(readDictionaryFromFile(folder / "shared_string"),
              (Dictionary{{"a", "one"}, {"b", "one"}, {"c", "one"}}));
    ASSERT_TRUE(parsePropertyList(nestedArrays(64)).has_value());
}

TEST(PropertyList, ParsesValuesOfAnyRoot) {
    auto parsed = parsePropertyList(toXmlPropertyList(Value(Array{"a", 7})));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, Value(Array{"a", 7}));
}

// The name read alone, as an update is read before anything vouches for it, must be the one the
// whole parse gives, for whatever layout of the root dictionary.
TEST(PropertyList, StringReadAloneIsTheOneTheWholeParseGives) {
    const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>";
    const std::string cases[] = {
        head +
            "<key>a</key><array><dict><key>N</key><string>inner</string></dict></array>"
            "<key>N</key><string>outer</string></dict></plist>",
        head + "<key>N</key><string>first</string><key>N</key><string>last</string></dict></plist>",
        head + "<key>&#78;</key><string>by an entity</string></dict></plist>",
        head + "<key>N</key><string>x</string><key>N</key><integer>1</integer></dict></plist>",
        head +
            "<!-- <key>N</key><string>hidden</string> --><key>N</key><string>seen</string>"
            "</dict></plist>",
        head + "<key>N</key><string>a &amp; b</string><key>l</key><array/></dict></plist>",
        "<?xml version=\"1.0\" note=\"</dict></array>\"?><plist><dict><key>N</key>"
        "<string>outer</string><key>l</key><array><dict><key>N</key><string>inner</string>"
        "</dict></array></dict></plist>",
        binaryList({"\xD1" + ref(1) + ref(2),
                    "\x51"
                    "N",
                    "\x53"
                    "bin"}),
    };
    for (const std::string& bytes : cases) {
        bool tooManyEntries = false;
        std::optional<Value> whole = parsePropertyList(bytes);
        ASSERT_TRUE(whole && whole->as<Dictionary>()) << bytes;
        const std::string* expected = lookup(*whole->as<Dictionary>(), "N").as<std::string>();
        EXPECT_EQ(stringInRootDictionary(bytes, "N", 10, tooManyEntries),
                  expected ? std::optional<std::string>(*expected) : std::nullopt)
            << bytes;
    }
    bool tooManyEntries = false;
    EXPECT_FALSE(stringInRootDictionary(head + "<key>N</key><array><true/><true/></array>"
                                               "</dict></plist>",
                                        "N", 1, tooManyEntries));
    EXPECT_TRUE(tooManyEntries) << "an array past the bound";
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
