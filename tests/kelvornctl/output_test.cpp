// What kelvornctl prints for people and scripts: no control character of a card list or a device
// name reaches the terminal, and both JSON styles say the same.
#include "kelvornctl/output.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvornctl {
namespace {

TEST(Output, TableCellsEscapeWhatATerminalWouldObey) {
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {"E3372", "E3372"},
        {"\x1b[2J\x1b]0;title\x07", "\\u001b[2J\\u001b]0;title\\u0007"},
        {"two\nlines\tand\rreturn", "two\\nlines\\tand\\rreturn"},
        {"del\x7f", "del\\u007f"},
        // C1 controls as UTF-8 writes them (CSI is U+009B); other UTF-8 is kept.
        {"csi\xc2\x9b"
         "31m",
         "csi\\u009b31m"},
        {"caf\xc3\xa9 \xc2\xa0", "caf\xc3\xa9 \xc2\xa0"},
        {"", "-"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(cell(corvant::Value(text)), shown) << text;
    }
}

TEST(Output, PrettyJsonIsTheShortOneIndented) {
    const corvant::Value value(corvant::Dictionary{{"Device", "/dev/tty\x1b"},
                                                   {"VID", 4817},
                                                   {"Ports", corvant::Array{}},
                                                   {"Keys", corvant::Array{1, "a"}}});
    EXPECT_EQ(toJson(value),
              R"({"Device": "/dev/tty\u001b", "Keys": [1, "a"], "Ports": [], "VID": 4817})");
    EXPECT_EQ(toJson(value, JsonStyle::Pretty), R"({
  "Device": "/dev/tty\u001b",
  "Keys": [
    1,
    "a"
  ],
  "Ports": [],
  "VID": 4817
})");
}

}  // namespace
}  // namespace kelvornctl
