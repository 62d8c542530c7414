// The page-range rules on plain UTF-8 text, shared by the window (through
// page_range.h) and by kestran-extract, which links no wxWidgets.
#ifndef KESTRAN_DOMAIN_PAGE_RANGE_TEXT_H
#define KESTRAN_DOMAIN_PAGE_RANGE_TEXT_H

#include <string>

namespace kestran {

// Removes the leading blanks of `text` in place, then returns the longest
// leading part in the page-range syntax, or "" when there is none.
std::string MatchPageRange(std::string& text);

// True when every comma-separated piece of `text` fits a file of `count` pages.
bool CheckPageRange(const std::string& text, int count);

}  // namespace kestran

#endif
