// Log lines and messages stay one line whatever a file name holds; readable
// text stays as it is.
#include <gtest/gtest.h>

#include "common/daily_log.h"
#include "common/log_text.h"

namespace {

struct EscapeCase {
    std::string text, shown;
};
class EscapeForLogTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeForLogTest, ShowsTheTextOnOneReadableUnambiguousLine)
{
    EXPECT_EQ(kestran::EscapeForLog(GetParam().text), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EscapeForLogTest,
    ::testing::Values(EscapeCase{"\xc3\x84rger \xe2\x82\xac \xe5\xa0\xb1 \xf0\x9f\x93\x84.pdf",
                                 "\xc3\x84rger \xe2\x82\xac \xe5\xa0\xb1 \xf0\x9f\x93\x84.pdf"},
                      EscapeCase{"two\nlines\tand\r", "two\\nlines\\tand\\r"},
                      EscapeCase{std::string("\x1b[31m\0\x7f", 7), "\\x1b[31m\\x00\\x7f"},
                      EscapeCase{"nel\xc2\x85 nbsp\xc2\xa0", "nel\\xc2\\x85 nbsp\xc2\xa0"},  // C1 control vs text
                      EscapeCase{"caf\xe9 \x80 \xc0\xaf \xe2\x82", "caf\\xe9 \\x80 \\xc0\\xaf \\xe2\\x82"},
                      EscapeCase{"\xed\xa0\x80\xf4\x90\x80\x80", "\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80"},
                      // A backslash stays single unless what follows would read as an escape.
                      EscapeCase{"C:\\Users\\x.pdf\\", "C:\\Users\\x.pdf\\"},
                      EscapeCase{"dir\\new \\x41 \\x4g", "dir\\\\new \\\\x41 \\x4g"},
                      EscapeCase{"a\\\\b", "a\\\\\\b"},
                      EscapeCase{"a\\\nb\\\xff", "a\\\\\\nb\\\\\\xff"}));

struct EntryCase {
    std::string message, entry;
};
class LogEntryTest : public ::testing::TestWithParam<EntryCase> {};

TEST_P(LogEntryTest, OneEntryIsOneLine)
{
    std::tm local{};
    local.tm_hour = 9;
    local.tm_min = 5;
    local.tm_sec = 7;
    EXPECT_EQ(kestran::FormatLogEntry(GetParam().message, local), GetParam().entry);
}

INSTANTIATE_TEST_SUITE_P(Cases, LogEntryTest,
                         ::testing::Values(EntryCase{"/in/a\nb.pdf [/out] [1]\n", "# 09:05:07 /in/a\\nb.pdf [/out] [1]\n"},
                                           EntryCase{"x\n\n", "# 09:05:07 x\\n\n"},
                                           EntryCase{"no line end", "# 09:05:07 no line end"}));

}  // namespace
