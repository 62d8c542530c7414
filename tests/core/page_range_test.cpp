// The page-range syntax of the "Selected Page" column.
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "domain/page_range.h"

namespace {

struct MatchCase {
    const char* typed;
    const char* stored;  // "" = refused
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << '"' << c.typed << '"'; }

class MatchPageRangeTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchPageRangeTest, ReadsTheWholeRangeOrRefusesIt) {
    EXPECT_EQ(MatchPageRange(wxString::FromUTF8(GetParam().typed)), GetParam().stored)
        << '"' << GetParam().typed << '"';
}

INSTANTIATE_TEST_SUITE_P(
    PageRange, MatchPageRangeTest,
    ::testing::Values(
        MatchCase{"1,3,4,5-10", "1,3,4,5-10"}, MatchCase{"1,3-5,7,9-11", "1,3-5,7,9-11"},
        // Blanks around numbers, commas and dashes; empty items; an open end.
        MatchCase{"1, 3", "1,3"}, MatchCase{"2 - 3", "2-3"}, MatchCase{" 1 , ,3 - 5 ", "1,3-5"},
        MatchCase{"1,,3", "1,3"}, MatchCase{",1,", "1"}, MatchCase{"1-", "1-"}, MatchCase{"7 -", "7-"},
        MatchCase{"\t\n 7", "7"}, MatchCase{"5-10-12", "5-10-12"},
        // A trailing word is ignored; trailing text with a digit refuses the whole range.
        MatchCase{"2-4 pages", "2-4"}, MatchCase{"3-5 abc", "3-5"}, MatchCase{"1;3", ""}, MatchCase{"1 2", ""},
        MatchCase{"1 2-3", ""}, MatchCase{"1,0", ""}, MatchCase{"3-0", ""}, MatchCase{"1--3", ""},
        MatchCase{"1-3-", "1-3"}, MatchCase{"0-3", ""}, MatchCase{"01", ""}, MatchCase{"-1", ""},
        MatchCase{"+1", ""}, MatchCase{"abc", ""}, MatchCase{"", ""}, MatchCase{"   ", ""},
        MatchCase{"12345678901234567890", "12345678901234567890"},
        MatchCase{"1\xEF\xBC\x8C" "2", ""},  // a full-width comma: the 2 cannot be read
        MatchCase{"\xC3\xBC" "1-3", ""}));

TEST(PageRange, VeryLongTextIsReadWhole) {
    std::string typed;
    for (int i = 1; i <= 2000; ++i)
        typed += std::to_string(i) + (i % 3 ? ", " : " - ");
    typed += "1";
    const wxString match = MatchPageRange(wxString(typed));
    EXPECT_FALSE(match.empty());
    EXPECT_EQ(match.Freq(','), 1334u);  // every comma typed: no item dropped
}

struct CheckCase {
    const char* text;
    int count;
    bool ok;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << '"' << c.text << "\" / " << c.count; }

class CheckPageRangeTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckPageRangeTest, EveryPieceWithinTheCount) {
    EXPECT_EQ(CheckPageRange(GetParam().text, GetParam().count), GetParam().ok)
        << GetParam().text << " / " << GetParam().count;
}

INSTANTIATE_TEST_SUITE_P(
    PageRange, CheckPageRangeTest,
    ::testing::Values(CheckCase{"5-10", 10, true}, CheckCase{"5-10", 9, false}, CheckCase{"10-5", 20, false},
                      CheckCase{"5-5", 5, true}, CheckCase{"2-4-6-8", 8, true}, CheckCase{"2-4-6-8", 7, false},
                      CheckCase{"2-4-3-8", 8, true},  // pairs are checked one by one
                      CheckCase{"1-3-5", 10, false}, CheckCase{"5-10-12", 20, false},
                      CheckCase{"5-10-12-15", 15, true}, CheckCase{"5-10-12-15", 14, false},
                      CheckCase{"1-1", 1, true}, CheckCase{"1,3,4,5-10", 10, true},
                      CheckCase{"1,3,4,5-10", 9, false}, CheckCase{"7", 7, true}, CheckCase{"8", 7, false},
                      CheckCase{"1", 0, false}, CheckCase{"1-2", 0, false}, CheckCase{"1,,3", 5, false},
                      CheckCase{"1,", 5, false}, CheckCase{"", 5, false},
                      CheckCase{"99999999999999999999", 1000000, false},
                      CheckCase{"1-99999999999999999999", 1000000, false},
                      CheckCase{"2147483647", 2147483647, true}, CheckCase{"3-", 3, true},
                      CheckCase{"4-", 3, false}, CheckCase{"1,3-", 5, true}));

struct ValidateCase {
    const char* typed;
    int count;
    const char* stored;  // "" = invalid
};

void PrintTo(const ValidateCase& c, std::ostream* os) { *os << '"' << c.typed << "\" / " << c.count; }

class ValidatePageRangeTest : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(ValidatePageRangeTest, StoresTheNormalisedRange) {
    EXPECT_EQ(ValidatePageRange(GetParam().typed, GetParam().count), GetParam().stored)
        << GetParam().typed << " / " << GetParam().count;
}

INSTANTIATE_TEST_SUITE_P(
    PageRange, ValidatePageRangeTest,
    ::testing::Values(ValidateCase{" 2-4", 4, "2-4"}, ValidateCase{"2-4 ", 4, "2-4"},
                      // What a user types: no page is dropped, or the range is refused.
                      ValidateCase{"1, 3", 3, "1,3"}, ValidateCase{"2 - 3", 3, "2-3"},
                      ValidateCase{"1-", 9, "1-9"}, ValidateCase{"1;3", 3, ""}, ValidateCase{"1,,3", 3, "1,3"},
                      ValidateCase{"2-4 pages", 4, "2-4"}, ValidateCase{"1-1", 1, "1-1"},
                      ValidateCase{"5-", 4, ""}, ValidateCase{"1,3-5,7,9-11", 11, "1,3-5,7,9-11"},
                      ValidateCase{"1,3-5,7,9-11", 10, ""},
                      ValidateCase{"1-3", 0, ""},  // a row without "Total Pages"
                      ValidateCase{"0-3", 10, ""}, ValidateCase{"abc", 10, ""},
                      ValidateCase{"5-10-12", 20, ""}, ValidateCase{"5-10-12-15", 15, "5-10-12-15"}));

}  // namespace
