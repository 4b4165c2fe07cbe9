#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/Exception.h"
#include "common/TextConvert.h"

namespace {

const char kTitleUtf8[] = "瑞维【未指定采集目标】";
const char kTitleGbk[] =
    "\xC8\xF0\xCE\xAC\xA1\xBE\xCE\xB4\xD6\xB8\xB6\xA8\xB2\xC9\xBC\xAF\xC4\xBF\xB1\xEA\xA1\xBF";

std::string ToUtf8(const char* text, const char* codePage) {
    std::unique_ptr<char[]> converted(AnsiToUtf8(text, codePage));
    return converted ? std::string(converted.get()) : std::string("<null>");
}

}  // namespace

TEST(TextConvert, NullInputs) {
    EXPECT_EQ(Utf8ToAnsi(nullptr), "");
    EXPECT_EQ(AnsiToUtf8(nullptr), nullptr);
    EXPECT_EQ(Utf8ToAnsi(nullptr, "GBK"), "");
    EXPECT_EQ(AnsiToUtf8(nullptr, "GBK"), nullptr);
}

TEST(TextConvert, GbkRoundTripKeepsTheText) {
    EXPECT_EQ(Utf8ToAnsi(kTitleUtf8, "GBK"), kTitleGbk);
    EXPECT_EQ(ToUtf8(kTitleGbk, "GBK"), kTitleUtf8);
    const std::string mixed = std::string("RTMP-rtmp://127.0.0.1/live ") + kTitleUtf8 + " end";
    EXPECT_EQ(ToUtf8(Utf8ToAnsi(mixed.c_str(), "GBK").c_str(), "GBK"), mixed);
}

TEST(TextConvert, AnsiCodePageIsUtf8AndValidTextPassesUnchanged) {
    EXPECT_STREQ(kAnsiCodePage, "UTF-8");
    EXPECT_EQ(Utf8ToAnsi(kTitleUtf8), kTitleUtf8);
    EXPECT_EQ(ToUtf8(kTitleUtf8, kAnsiCodePage), kTitleUtf8);
    const char ascii[] = "select * from SysSeting; \"quoted\" \t~";
    EXPECT_EQ(Utf8ToAnsi(ascii), ascii);
    EXPECT_EQ(Utf8ToAnsi(ascii, "GBK"), ascii);
    EXPECT_EQ(ToUtf8(ascii, "GBK"), ascii);
    EXPECT_EQ(Utf8ToAnsi(""), "");
    EXPECT_EQ(ToUtf8("", "GBK"), "");
}

TEST(TextConvert, UnrepresentableCharactersBecomeQuestionMarks) {
    // An emoji has no GBK form; each one is a single "?" and the text around it survives.
    EXPECT_EQ(Utf8ToAnsi("a\xF0\x9F\x98\x80"
                         "b\xF0\x9F\x98\x80",
                         "GBK"),
              "a?b?");
    EXPECT_EQ(Utf8ToAnsi("瑞\xF0\x9F\x98\x80维", "GBK"), "\xC8\xF0?\xCE\xAC");
}

TEST(TextConvert, InvalidSequencesAreReplacedNotRejected) {
    // A stray byte in UTF-8 input: replaced, and conversion goes on after it.
    EXPECT_EQ(Utf8ToAnsi("a\xFF"
                         "b",
                         "GBK"),
              "a?b");
    EXPECT_EQ(Utf8ToAnsi("a\xFF"
                         "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(Utf8ToAnsi("\xE7\x91", "GBK"), "??");  // cut off at the end
    // A GBK lead byte without its trail byte.
    EXPECT_EQ(ToUtf8("x\x81", "GBK"), "x\xEF\xBF\xBD");
    EXPECT_EQ(ToUtf8("\xC8\xF0\xFF\xCE\xAC", "GBK"), "瑞\xEF\xBF\xBD维");
}

TEST(TextConvert, LongTextIsConvertedWhole) {
    std::string longText;
    for (int i = 0; i < 3000; ++i) longText += kTitleUtf8;
    const std::string gbk = Utf8ToAnsi(longText.c_str(), "GBK");
    EXPECT_EQ(gbk.size(), 3000 * (sizeof(kTitleGbk) - 1));
    EXPECT_EQ(ToUtf8(gbk.c_str(), "GBK"), longText);
}

TEST(TextConvert, UnknownCodePageIsAClearError) {
    try {
        Utf8ToAnsi("x", "NO-SUCH-CODEPAGE");
        FAIL() << "no exception";
    } catch (const ExceptionDerived& e) {
        EXPECT_NE(e.m_message.find("NO-SUCH-CODEPAGE"), std::string::npos) << e.m_message;
    }
    EXPECT_THROW(std::unique_ptr<char[]>(AnsiToUtf8("x", "NO-SUCH-CODEPAGE")), ExceptionDerived);
}
