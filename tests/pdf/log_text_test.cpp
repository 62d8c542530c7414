// Log lines and messages stay one line whatever a file name holds, readable
// text stays as it is, and what is shown can be read back to the bytes.
#include <gtest/gtest.h>

#include <string>

#include "common/daily_log.h"
#include "common/log_text.h"

namespace {

struct EscapeCase {
    const char* what;
    std::string text;
    std::string shown;
};

class EscapeForLogTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeForLogTest, ShowsTheTextOnOneReadableLine)
{
    EXPECT_EQ(kestran::EscapeForLog(GetParam().text), GetParam().shown) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EscapeForLogTest,
    ::testing::Values(
        EscapeCase{"plain path", "/home/u/report 2024.pdf", "/home/u/report 2024.pdf"},
        EscapeCase{"accents and euro", "\xc3\x84rger \xe2\x82\xac.pdf", "\xc3\x84rger \xe2\x82\xac.pdf"},
        EscapeCase{"CJK", "\xe5\xa0\xb1\xe5\x91\x8a.pdf", "\xe5\xa0\xb1\xe5\x91\x8a.pdf"},
        EscapeCase{"four-byte emoji", "\xf0\x9f\x93\x84.pdf", "\xf0\x9f\x93\x84.pdf"},
        EscapeCase{"no-break space is text", "a\xc2\xa0" "b", "a\xc2\xa0" "b"},
        EscapeCase{"line feed", "two\nlines.pdf", "two\\nlines.pdf"},
        EscapeCase{"tab and return", "a\tb\rc", "a\\tb\\rc"},
        EscapeCase{"terminal escape", "\x1b[31mred", "\\x1b[31mred"},
        EscapeCase{"NUL", std::string("a\0b", 3), "a\\x00b"},
        EscapeCase{"DEL", "a\x7f", "a\\x7f"},
        EscapeCase{"C1 next line", "a\xc2\x85" "b", "a\\xc2\\x85b"},
        EscapeCase{"Latin-1 byte", "caf\xe9.pdf", "caf\\xe9.pdf"},
        EscapeCase{"stray continuation byte", "\x80", "\\x80"},
        EscapeCase{"overlong slash", "\xc0\xaf", "\\xc0\\xaf"},
        EscapeCase{"sequence cut short", "\xe2\x82", "\\xe2\\x82"},
        EscapeCase{"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        EscapeCase{"past U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        EscapeCase{"Windows-style name keeps its backslashes", "C:\\Users\\a.pdf", "C:\\Users\\a.pdf"},
        EscapeCase{"trailing backslash", "end\\", "end\\"},
        EscapeCase{"backslash before n is doubled", "dir\\new", "dir\\\\new"},
        EscapeCase{"backslash before x is doubled", "\\x41", "\\\\x41"},
        EscapeCase{"two backslashes", "a\\\\b", "a\\\\\\b"},
        EscapeCase{"backslash before a line feed", "a\\\nb", "a\\\\\\nb"},
        EscapeCase{"backslash before a bad byte", "a\\\xff", "a\\\\\\xff"}),
    [](const ::testing::TestParamInfo<EscapeCase>& info) { return "Case" + std::to_string(info.index); });

// Reads a shown text back: \\, \n, \r, \t and \xNN are escapes, any other
// backslash stands for itself.
std::string Unescape(const std::string& shown)
{
    std::string text;
    for (size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] != '\\' || i + 1 == shown.size()) {
            text += shown[i];
            continue;
        }
        const char next = shown[i + 1];
        if (next == '\\' || next == 'n' || next == 'r' || next == 't') {
            text += next == '\\' ? '\\' : next == 'n' ? '\n' : next == 'r' ? '\r' : '\t';
            ++i;
        } else if (next == 'x' && i + 3 < shown.size()) {
            text += static_cast<char>(std::stoi(shown.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            text += '\\';
        }
    }
    return text;
}

TEST(EscapeForLog, WhatIsShownReadsBackToTheSameBytes)
{
    const std::string texts[] = {
        "dir\\new\n", "\\\\\\", "\\x41\\", "a\\\xff\\\x01", "\\\t\\n", std::string("\\\0\\", 3),
        "C:\\temp\\x.pdf", "\xc3\x84\\\xc2\x85\\\\n",
    };
    for (const std::string& text : texts) {
        const std::string shown = kestran::EscapeForLog(text);
        EXPECT_EQ(shown.find_first_of(std::string("\n\r\t\0", 4)), std::string::npos) << shown;
        EXPECT_EQ(Unescape(shown), text) << shown;
    }
}

struct EntryCase {
    const char* what;
    std::string message;
    std::string entry;
};

class LogEntryTest : public ::testing::TestWithParam<EntryCase> {};

TEST_P(LogEntryTest, OneEntryIsOneLine)
{
    std::tm local{};
    local.tm_year = 114;
    local.tm_mon = 4;
    local.tm_mday = 22;
    local.tm_hour = 9;
    local.tm_min = 5;
    local.tm_sec = 7;
    EXPECT_EQ(kestran::FormatLogEntry(GetParam().message, local), GetParam().entry) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogEntryTest,
    ::testing::Values(
        EntryCase{"job line as written", "/in/a.pdf [/out] [0]\n", "# 09:05:07 /in/a.pdf [/out] [0]\n"},
        EntryCase{"line feed in a path", "/in/a\nb.pdf [/out] [1]\n", "# 09:05:07 /in/a\\nb.pdf [/out] [1]\n"},
        EntryCase{"only the final line end is kept", "x\n\n", "# 09:05:07 x\\n\n"},
        EntryCase{"no line end continues the line", "one", "# 09:05:07 one"},
        EntryCase{"UTF-8 as it is", "\xc3\x84rger.pdf\n", "# 09:05:07 \xc3\x84rger.pdf\n"},
        EntryCase{"separator", "", "# .............................................\n"}),
    [](const ::testing::TestParamInfo<EntryCase>& info) { return "Case" + std::to_string(info.index); });

}  // namespace
