#include "common/format.h"

#include <gtest/gtest.h>

#include <climits>

namespace corvant {
namespace {

struct FormatCase {
    const char* format;
    std::vector<Value> arguments;
    const char* expected;
};

class FormatConversions : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatConversions, MatchesPrintf) {
    const auto& [format, arguments, expected] = GetParam();
    EXPECT_EQ(formatMessage(format, arguments), expected) << "format: " << format;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatConversions,
    ::testing::Values(
        FormatCase{"plain text", {}, "plain text"}, FormatCase{"100%% sure", {}, "100% sure"},
        FormatCase{
            "%d|%i|%5d|%-5d|%05d|%+d", {42, -7, 42, 42, 42, 42}, "42|-7|   42|42   |00042|+42"},
        FormatCase{"%ld %lld %zu %jd", {1L, -2LL, std::size_t{3}, 4}, "1 -2 3 4"},
        FormatCase{"%d", {5000000000LL}, "5000000000"},
        FormatCase{"%u %x %X %o %#x", {-1, 255, 255, 8, 255}, "4294967295 ff FF 10 0xff"},
        FormatCase{"%lu", {-1}, "18446744073709551615"},
        FormatCase{"%hhd %hhu %hd", {257, 257, 65537}, "1 1 1"},
        FormatCase{"%.2f %8.3f %e %g",
                   {3.14159, 2.5, 1000.0, 0.0001},
                   "3.14    2.500 1.000000e+03 0.0001"},
        FormatCase{"%f", {2}, "2.000000"}, FormatCase{"%d", {2.9}, "2"},
        FormatCase{"%c%c", {65, std::string("B")}, "AB"},
        FormatCase{"[%s] [%10s] [%-4s] [%.3s]",
                   {"ab", "right", "l", "truncate"},
                   "[ab] [     right] [l   ] [tru]"},
        FormatCase{"%*d|%-*d|%.*f", {4, 7, 3, 7, 1, 2.25}, "   7|7  |2.2"},
        FormatCase{"%*d", {-4, 7}, "7   "}, FormatCase{"%@ and %@", {"text", 12}, "text and 12"},
        FormatCase{"%@ %@ %@", {true, false, 1.5}, "1 0 1.5"},
        FormatCase{"%8@|", {"x"}, "       x|"},
        // Missing and mismatched arguments print something harmless.
        FormatCase{"%@ %s %d %f", {}, "(null) (null) 0 0.000000"},
        FormatCase{"%d %s", {"text", 42}, "0 42"}, FormatCase{"%n%d", {1, 2}, "2"},
        FormatCase{"%q%", {}, "%q%"}, FormatCase{"ends with %", {}, "ends with %"},
        FormatCase{"%k", {1}, "%k"}, FormatCase{"%p", {255}, "0xff"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(Format, EmbeddedNulBytesOfStringsAreKept) {
    EXPECT_EQ(formatMessage("<%@>", {std::string("a\0b", 3)}), std::string("<a\0b>", 5));
}

TEST(Format, HugeWidthIsBounded) {
    EXPECT_LE(formatMessage("%999999999d", {1}).size(), 2u << 20);
}

TEST(Format, FormatStringTakesAnyKindOfArgument) {
    EXPECT_EQ(formatString("%@-%d-%s-%@", std::string("a"), 2u, "c", Value()), "a-2-c-(null)");
}

TEST(Format, DescriptionsStopAtTheNestingLimit) {
    Value value = Array{"leaf"};
    for (int i = 0; i < 100; ++i) value = Value(Array{value});
    const std::string text = describe(value);
    std::size_t opened = 0;
    for (auto at = text.find("(\n"); at != std::string::npos; at = text.find("(\n", at + 1))
        ++opened;
    EXPECT_EQ(opened, 64u);
    EXPECT_NE(text.find("(...)"), std::string::npos);
    EXPECT_EQ(formatMessage("%@", {value}), text);
}

struct DescriptionCase {
    const char* name;
    Value value;
    const char* expected;
};

class Descriptions : public ::testing::TestWithParam<DescriptionCase> {};

TEST_P(Descriptions, FollowOpenStepStyle) {
    EXPECT_EQ(describe(GetParam().value), GetParam().expected);
}

Dictionary nestedDictionary() {
    return Dictionary{{"inner", Dictionary{{"key", "value"}}}, {"list", Array{1, "two words"}}};
}

INSTANTIATE_TEST_SUITE_P(
    Table, Descriptions,
    ::testing::Values(
        DescriptionCase{"absent", Value(), "(null)"},
        DescriptionCase{"string", "two words \"as is\"", "two words \"as is\""},
        DescriptionCase{"integer", -12, "-12"}, DescriptionCase{"real", 0.1, "0.1"},
        DescriptionCase{"boolean", true, "1"},
        DescriptionCase{"data", Data{{0x0a, 0x0b, 0x0c, 0x0d, 0x0e}}, "<0a0b0c0d 0e>"},
        DescriptionCase{"empty_data", Data{}, "<>"},
        DescriptionCase{"date", Date{0}, "2001-01-01 00:00:00 +0000"},
        DescriptionCase{"date_before_epoch", Date{-86400.5}, "2000-12-30 23:59:59 +0000"},
        DescriptionCase{"array", Array{"a", "b"}, "(\n    a,\n    b\n)"},
        DescriptionCase{"empty_array", Array{}, "(\n)"},
        DescriptionCase{"empty_dictionary", Dictionary{}, "{\n}"},
        DescriptionCase{"quoting", Array{"", "a b", "q\"\\\n", "_$./:-Az09"},
                        "(\n    \"\",\n    \"a b\",\n    \"q\\\"\\\\\\n\",\n    _$./:-Az09\n)"},
        DescriptionCase{"dictionary", Dictionary{{"b key", 2}, {"a", "x"}},
                        "{\n    a = x;\n    \"b key\" = 2;\n}"},
        DescriptionCase{"nested", nestedDictionary(),
                        "{\n"
                        "    inner =     {\n"
                        "        key = value;\n"
                        "    };\n"
                        "    list =     (\n"
                        "        1,\n"
                        "        \"two words\"\n"
                        "    );\n"
                        "}"},
        DescriptionCase{"array_of_arrays", Array{Array{1}, Array{}},
                        "(\n        (\n        1\n    ),\n        (\n    )\n)"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvant
