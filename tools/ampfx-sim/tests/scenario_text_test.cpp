#include <gtest/gtest.h>

#include "scenario_text.h"

namespace {

using Words = std::vector<std::string>;

std::vector<ScenarioCommand> Split(const std::string& text) {
    std::vector<ScenarioCommand> commands;
    ScenarioTextError error;
    EXPECT_TRUE(SplitScenario(text, &commands, &error)) << error.line << ": " << error.reason;
    return commands;
}

TEST(ScenarioTextTest, CommentsAndBlankLinesGiveNoCommandsButKeepTheLineNumbers) {
    const auto commands = Split(
        "# a scenario\n"
        "\n"
        "   plug 0x1607   # the first headset\n"
        "\t\n"
        "filter\t1  on\r\n"
        "state");
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].line, 3u);
    EXPECT_EQ(commands[0].words, (Words{"plug", "0x1607"}));
    EXPECT_EQ(commands[1].line, 5u);
    EXPECT_EQ(commands[1].words, (Words{"filter", "1", "on"}));  // CR of a Windows line end
    EXPECT_EQ(commands[2].line, 6u);
    EXPECT_EQ(commands[2].words, (Words{"state"}));
}

TEST(ScenarioTextTest, QuotesHoldBlanksAndHashesAndBackslashesStayAsWritten) {
    const auto commands = Split(
        "reg set \"HKLM\\SOFTWARE\\My Key\" \"#name\" sz \"\"\n"
        "reg dump a\"b c\"d\n");
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].words,
              (Words{"reg", "set", "HKLM\\SOFTWARE\\My Key", "#name", "sz", ""}));
    EXPECT_EQ(commands[1].words, (Words{"reg", "dump", "ab cd"}));
}

TEST(ScenarioTextTest, AnUnterminatedQuoteOrAControlCharacterNamesItsLine) {
    struct Case {
        std::string text;
        size_t line;
    };
    const Case cases[] = {
        {"plug 0x1607\nreg dump \"HKLM\n", 2},
        {"\n\nplug \x01\n", 3},
        {"plug 1\rfilter 1 on\n", 1},  // a lone CR inside a line is not a line end
    };
    for (const Case& c : cases) {
        std::vector<ScenarioCommand> commands;
        ScenarioTextError error;
        EXPECT_FALSE(SplitScenario(c.text, &commands, &error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_FALSE(error.reason.empty());
    }
}

TEST(ScenarioTextTest, AByteOrderMarkIsNotPartOfTheFirstWord) {
    for (const std::string text :
         {"\xEF\xBB\xBFplug 0x1607\n", "\xEF\xBB\xBF# comment\r\nplug 0x1607"}) {
        const auto commands = Split(text);
        ASSERT_EQ(commands.size(), 1u);
        EXPECT_EQ(commands[0].words, (Words{"plug", "0x1607"}));
    }
    // Only at the start of the file.
    EXPECT_EQ(Split("plug\n\xEF\xBB\xBFplug\n")[1].words, (Words{"\xEF\xBB\xBFplug"}));
}

}  // namespace
