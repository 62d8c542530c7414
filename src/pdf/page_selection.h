// Reading a page-range text ("1,3,4,5-10") into the pages it selects.
#ifndef KESTRAN_PDF_PAGE_SELECTION_H
#define KESTRAN_PDF_PAGE_SELECTION_H

#include <string>
#include <vector>

namespace kestran::pdf {

// Ascending, disjoint, non-adjacent runs of 1-based pages [first, last].
struct PageRun {
    int first;
    int last;
};

// The pages of `range` that exist in a document of `page_count` pages, each
// once, ascending, as runs (a hostile file may claim billions of pages, so the
// pages are never listed one by one).
//
// The text is read the way the page-range check of the window reads it: pieces
// separated by ","; a piece of digits alone is one page; any other piece is
// split at "-" and its numbers are taken two at a time as first-last ranges.
// Where that check would refuse a piece, the reading here is lenient rather
// than failing the whole file:
//  - a missing last number ("7-") runs to the last page;
//  - an odd number left over ("1-3-5") selects that single page;
//  - a reversed pair ("10-5"), an empty piece, a 0 or anything not made of
//    digits selects nothing.
// Blanks around numbers are ignored. Pages beyond `page_count` are dropped.
std::vector<PageRun> SelectPages(const std::string& range, int page_count);

// Number of pages in `runs`.
long long CountPages(const std::vector<PageRun>& runs);

}  // namespace kestran::pdf

#endif
