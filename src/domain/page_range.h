// The page-range syntax of the "Selected Page" column: "1,3,4,5-10". The
// rules are those of page_range_text.h, shared with kestran-extract; these
// are their wxString faces for the window.
#ifndef KESTRAN_DOMAIN_PAGE_RANGE_H
#define KESTRAN_DOMAIN_PAGE_RANGE_H

#include <wx/string.h>

// The range `typed` names in its stored form (no blanks, no empty items), or
// "" when it names none or holds more page numbers than can be read: " 1, 3"
// gives "1,3", "2-4 pages" gives "2-4", "1;3" and "abc" give "".
wxString MatchPageRange(const wxString& typed);

// True when every comma-separated piece of a stored range lies within
// 1..count (see kestran::CheckPageRange).
bool CheckPageRange(const wxString& text, int count);

// The check applied to a typed range for a row of `count` pages: the stored
// range, with "N-" written out as "N-count", when it passes
// CheckPageRange; else "".
wxString ValidatePageRange(const wxString& typed, int count);

#endif
