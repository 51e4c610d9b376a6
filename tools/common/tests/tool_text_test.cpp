#include <gtest/gtest.h>

#include "tool_text.h"

namespace {

using Words = std::vector<std::string>;

TEST(ToolTextTest, NumbersAreReadWholeOrRefused) {
    struct Case {
        const char* text;
        uint64_t max;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"0", 10, true, 0},
        {"10", 10, true, 10},
        {"0x0a", 10, true, 10},
        {"11", 10, false, 0},
        {"", 10, false, 0},
        {"-1", UINT64_MAX, false, 0},
        {"+1", 10, false, 0},
        {" 1", 10, false, 0},
        {"1 ", 10, false, 0},
        {"0x", 10, false, 0},
        {"1e3", 5000, false, 0},
        {"99999999999999999999", UINT64_MAX, false, 0},
        {"0xFFFFFFFF", UINT32_MAX, true, UINT32_MAX},
    };
    for (const Case& c : cases) {
        uint64_t value = 12345;
        EXPECT_EQ(ParseUnsignedText(c.text, c.max, &value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    double real = 0;
    EXPECT_TRUE(ParseFiniteText("-2.5e1", &real));
    EXPECT_EQ(real, -25.0);
    for (const char* bad : {"", "nan", "inf", "1e999", "1.5x", "x"})
        EXPECT_FALSE(ParseFiniteText(bad, &real)) << bad;
}

TEST(ToolTextTest, ListsAndHexBytes) {
    EXPECT_EQ(SplitCommaList(""), Words{});
    EXPECT_EQ(SplitCommaList("a,,b,"), (Words{"a", "", "b", ""}));
    std::vector<uint8_t> bytes;
    std::string reason;
    ASSERT_TRUE(ParseHexBytesText("01:ff 7E,00", &bytes, &reason));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x01, 0xff, 0x7e, 0x00}));
    EXPECT_EQ(HexText(bytes), "01ff7e00");
    EXPECT_FALSE(ParseHexBytesText("0g", &bytes, &reason));
    EXPECT_FALSE(ParseHexBytesText("123", &bytes, &reason));
    EXPECT_NE(reason.find("odd number"), std::string::npos);
}

// What the echo writes reads back as the same words, the empty word included.
TEST(ToolTextTest, QuotedWordsReadBackAsTheSameWords) {
    const Words cases[] = {
        {"reg", "set", "HKLM\\My Key", "", "sz", "a#b"},
        {"", ""},
        {"\t", "x\ty", "#"},
        {"plain"},
    };
    for (const Words& words : cases) {
        std::string line;
        for (const std::string& word : words)
            line += QuoteWord(word) + " ";
        Words back;
        std::string reason;
        ASSERT_TRUE(SplitQuotedWords(line, &back, &reason)) << line << ": " << reason;
        EXPECT_EQ(back, words) << line;
    }
}

}  // namespace
