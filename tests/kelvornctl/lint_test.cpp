// kelvornctl lint: each kind of finding once, with its key path, in one card list; and the files
// the daemon would not read at all.
#include "kelvornctl/lint.h"

#include <gtest/gtest.h>

#include <string>

#include "common/plist.h"
#include "daemon/card_list.h"
#include "test_folder.h"

namespace kelvornctl {
namespace {

using corvant::Dictionary;

struct Expected {
    bool error;
    std::string keyPath;
    std::string messageStart;
};

std::string joined(const std::vector<std::string>& keys) {
    std::string path;
    for (const auto& key : keys) path += (path.empty() ? "" : "/") + key;
    return path;
}

void expectFindings(const LintReport& report, const std::vector<Expected>& expected) {
    ASSERT_EQ(report.findings.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const LintFinding& finding = report.findings[i];
        EXPECT_EQ(finding.error, expected[i].error) << finding.message;
        EXPECT_EQ(joined(finding.keyPath), expected[i].keyPath) << finding.message;
        EXPECT_TRUE(finding.message.starts_with(expected[i].messageStart)) << finding.message;
    }
}

TEST(Lint, ReportsEachFindingOnceWithItsKeyPath) {
    corvant::testing::TestFolder folder;
    const Dictionary model{{"5382", "E3372"}};
    const Dictionary cards{
        {"ttyACM", "not a dictionary"},
        {"ttyUSB",
         Dictionary{{"0", Dictionary{{"4817", model},
                                     {"12d1", model},
                                     {"0x12d1", model},
                                     {"04817", model},
                                     {"48 17", model},
                                     {"4818", Dictionary{{"0x1506", 1}, {"05382", 1}, {"5382", 1}}},
                                     {"4819", 7}}},
                    {"02", Dictionary{{"4817", model}}},
                    {"No Suffix Name Present In IOReg", Dictionary{{"4817", model}}},
                    {"NO SUFFIX NAME PRESENT IN IOREG", Dictionary{{"4817", model}}},
                    {"3", corvant::Array{}}}},
    };
    ASSERT_TRUE(corvant::writeDictionaryToFile(cards, folder / "MDCardList"));

    const LintReport report = lintCardList(folder / "MDCardList");
    expectFindings(
        report,
        {
            {true, "ttyACM", "the family holds a string, not a dictionary"},
            {true, "ttyUSB/0/04817", "a vendor id must be plain decimal: leading zeros"},
            {true, "ttyUSB/0/0x12d1", "a vendor id must be plain decimal: a \"0x\" prefix"},
            {true, "ttyUSB/0/12d1", "a vendor id must be plain decimal: hexadecimal letters"},
            {true, "ttyUSB/0/48 17", "a vendor id must be plain decimal: it holds blanks"},
            {true, "ttyUSB/0/4818/05382", "a product id must be plain decimal: leading zeros"},
            {true, "ttyUSB/0/4818/0x1506", "a product id must be plain decimal: a \"0x\""},
            {true, "ttyUSB/0/4819", "the vendor holds an integer, not a dictionary"},
            {false, "ttyUSB/02", "a suffix with a leading zero"},
            {true, "ttyUSB/3", "the suffix holds an array, not a dictionary"},
            {true, "ttyUSB/No Suffix Name Present In IOReg", "the no-suffix key must read"},
        });
    // Every fourth-level key counts, readable or not: 5 vendors of one product, 3 products, and
    // one under each of the other three suffixes.
    EXPECT_EQ(report.entries, 11u);
    EXPECT_TRUE(report.hasErrors());
}

TEST(Lint, WarningsAloneAreNoError) {
    corvant::testing::TestFolder folder;
    const Dictionary cards{
        {"ttyUSB", Dictionary{{"00", Dictionary{{"4817", Dictionary{{"5382", 1}}}}}}}};
    ASSERT_TRUE(corvant::writeDictionaryToFile(cards, folder / "MDCardList"));
    const LintReport report = lintCardList(folder / "MDCardList");
    expectFindings(report, {{false, "ttyUSB/00", "a suffix with a leading zero"}});
    EXPECT_FALSE(report.hasErrors());
}

TEST(Lint, FilesTheDaemonWouldNotReadAreOneError) {
    corvant::testing::TestFolder folder;
    std::string oversized = corvant::toXmlPropertyList(corvant::Value(Dictionary{}));
    oversized.insert(oversized.find("<dict"), std::string(kelvorn::kMaxCardListBytes, ' '));
    const struct {
        const char* name;
        std::string content;
        const char* messageStart;
    } files[] = {
        {"large", oversized, "over the 4 MiB the daemon reads"},
        {"text", "not a property list", "not a property list the daemon reads"},
        {"array", corvant::toXmlPropertyList(corvant::Value(corvant::Array{1})),
         "its root is an array, not a dictionary"},
    };
    for (const auto& file : files) {
        corvant::testing::writeFile(folder / file.name, file.content);
        expectFindings(lintCardList(folder / file.name), {{true, "", file.messageStart}});
    }
    expectFindings(lintCardList(folder / "missing"), {{true, "", "cannot be read: No such file"}});
}

}  // namespace
}  // namespace kelvornctl
