// The page-range syntax of the "Selected Page" column: "1,3,4,5-10".
#ifndef KESTRAN_DOMAIN_PAGE_RANGE_H
#define KESTRAN_DOMAIN_PAGE_RANGE_H

#include <wx/string.h>

// Removes the leading white space of `text` in place, then returns the
// longest leading part that matches the page-range pattern (leftmost-longest,
// POSIX extended syntax), or "" when none does: "1,3-5,7,9-11" gives
// "1,3-5,7,9", "1,,3" gives "1", "0-3" and "abc" give "".
wxString MatchPageRange(wxString& text);

// True when every comma-separated piece lies within 1..count: a number must be
// <= count; "a-b-c-d" is read as pairs (a,b),(c,d), a missing second number
// reads as 0, and each pair needs second <= count and second >= first.
// An empty piece fails. Numbers beyond the int range read as INT_MAX.
bool CheckPageRange(const wxString& text, int count);

// The check applied to a typed range for a row: the normalised range (the
// match) when it is not empty and passes CheckPageRange with `count`, else "".
wxString ValidatePageRange(const wxString& typed, int count);

#endif
