// installer.ini reading and the shell commands built from its value.
#include "daemon/installer_ini.h"

#include <gtest/gtest.h>

#include "daemon/commands.h"

namespace kelvorn {
namespace {

TEST(InstallerINI, FindsTheFirstApplicationNameLine) {
    struct Case {
        std::string text;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {"ApplicationName=\"Acme\"\n", "\"Acme\""},
        {"applicationname=Acme\n", "Acme"},
        {"ApplicationName:Acme", "Acme"},
        {" ApplicationName=Acme\n", std::nullopt},
        {"[Setup]\nKey=1\nApplicationName=Acme\nx\n", "Acme"},
        {"ApplicationName=First\nApplicationName=Second\n", "First"},
        {"ApplicationName=\"Acme Connect\"\r\nOther=1\r\n", "\"Acme Connect\"\r"},
        {"ApplicationName=Acme\rOther=1\r", "Acme\rOther=1\r"},
        {"Other=1\rApplicationName=Acme\r", std::nullopt},
        {"ApplicationName=\n", ""},
        {"ApplicationName=", ""},
        {"ApplicationName\nApplicationNam=\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(findApplicationNameValue(c.text), c.value) << c.text;
}

TEST(InstallerINI, NameLosesTheEnclosingCharactersOnlyWhenQuoted) {
    const std::pair<std::string, std::string> cases[] = {
        {"\"Acme Connect\"", "Acme Connect"},
        {"\"Acme", "Acm"},
        {"\"Acme\"\r", "Acme\""},
        {"Acme\"", "Acme\""},
        {"X", "X"},
        {"\"", "Solvane"},
        {"", "Solvane"},
        {"\"\"", ""},
    };
    for (const auto& [value, name] : cases)
        EXPECT_EQ(applicationNameFromValue(value), name) << value;
}

TEST(Commands, OrdinaryValuesKeepTheirCommandTextAndOthersStayPatterns) {
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, "ps Acx | grep -i \"Solvane\" "},
        {"Acme", "ps Acx | grep -i Acme "},
        {"\"Acme Connect\"", "ps Acx | grep -i \"Acme Connect\" "},
        {"Acme Connect", "ps Acx | grep -i Acme Connect "},
        {"my-app_2.0", "ps Acx | grep -i my-app_2.0 "},
        {"", "ps Acx | grep -i  "},
        // Values grep would take for options stay one pattern.
        {"-V", "ps Acx | grep -i -e -V "},
        {"-r x .", "ps Acx | grep -i -e -r\\ x\\ . "},
        {"Acme -r", "ps Acx | grep -i -e Acme\\ -r "},
        {"\"-V\"", "ps Acx | grep -i -e -V "},
        {"\"Acme -r\"", "ps Acx | grep -i \"Acme -r\" "},
    };
    for (const auto& [value, command] : cases) EXPECT_EQ(processListingCommand(value), command);
    EXPECT_EQ(launchCommand("/Applications", "Acme Connect"),
              "open \"/Applications/Acme Connect.app\"");
    EXPECT_EQ(launchCommand("/Applications", "Solvane"), "open \"/Applications/Solvane.app\"");
}

}  // namespace
}  // namespace kelvorn
