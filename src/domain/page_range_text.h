// The page-range rules on plain UTF-8 text, shared by the window (through
// page_range.h) and by kestran-extract, which links no wxWidgets: one reading
// of a typed range for the "Selected Page" cell, the page-range panel and
// `kestran-extract -p`.
#ifndef KESTRAN_DOMAIN_PAGE_RANGE_TEXT_H
#define KESTRAN_DOMAIN_PAGE_RANGE_TEXT_H

#include <string>

namespace kestran {

// The range `typed` names, in its stored form, or "" when it names none or
// cannot be read whole.
//
// Items are separated by ","; an item is a page number (no leading zero), a
// chain of numbers joined by "-" ("5-10", "2-4-6-8"), or a number and "-"
// ("7-": page 7 to the last page). Blanks may stand around numbers, commas
// and dashes; empty items between commas are skipped. After the last item,
// text without a digit is ignored, so "2-4 pages" reads "2-4"; text that
// holds a digit ("1;3", "1 2", "3-0") would name pages this reading cannot
// take, and the whole range is refused rather than cut short. The stored form
// has no blanks and no empty items: " 1 , ,3 - 5 pages" gives "1,3-5".
std::string MatchPageRange(const std::string& typed);

// True when every comma-separated piece of a stored range fits a file of
// `count` pages: a number must be <= count; "N-" needs N <= count; a chain
// "a-b-c-d" is read as the pairs (a,b),(c,d), a missing second number reads
// as 0, and each pair needs second <= count and second >= first. An empty
// piece fails. Numbers beyond the int range read as INT_MAX.
bool CheckPageRange(const std::string& text, int count);

// A stored range with its open end ("7-") closed at `count` ("7-12"); other
// pieces as they are.
std::string CloseOpenRanges(const std::string& text, int count);

}  // namespace kestran

#endif
