// How the service reads a page-range text.
#include <gtest/gtest.h>

#include <climits>

#include "pdf/page_selection.h"

using namespace kestran::pdf;

namespace {

std::vector<int> Pages(const std::string& range, int count)
{
    std::vector<int> pages;
    for (const PageRun& run : SelectPages(range, count))
        for (int p = run.first; p <= run.last; ++p)
            pages.push_back(p);
    return pages;
}

TEST(SelectPages, ReadsPiecesLikeTheRangeCheck)
{
    struct Row {
        const char* range;
        int count;
        std::vector<int> expected;
    } rows[] = {
        {"1,3,4,5-10", 20, {1, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"1-3", 3, {1, 2, 3}},
        {"5-5", 9, {5}},
        {"2-4-6-8", 9, {2, 3, 4, 6, 7, 8}},    // pairs (2,4) and (6,8)
        {"3,1,2,3", 5, {1, 2, 3}},              // each page once, ascending
        {"4-9,1-5", 9, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"1-", 4, {1, 2, 3, 4}},                // open end: to the last page
        {"3-", 4, {3, 4}},
        {" 2 - 4 ", 9, {2, 3, 4}},
        {"8-12", 10, {8, 9, 10}},               // pages beyond the count are ignored
        {"11", 10, {}},
        {"10-5", 20, {}},                       // reversed
        {"0", 5, {}},
        {"0-3", 5, {}},
        {"abc", 5, {}},
        {"1,,3", 5, {1, 3}},
        {"1-3-5", 9, {1, 2, 3, 5}},             // the odd number alone
        {"99999999999999", 5, {}},
        {"1-99999999999999", 3, {1, 2, 3}},
        {"", 5, {}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Pages(r.range, r.count), r.expected) << '"' << r.range << "\" of " << r.count;
}

TEST(SelectPages, HugePageCountsStayRuns)
{
    // A damaged file may claim billions of pages: no list of pages is built.
    std::vector<PageRun> runs = SelectPages("1-", INT_MAX);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(CountPages(runs), INT_MAX);
    EXPECT_EQ(CountPages(SelectPages("1-10,5-20,30", INT_MAX)), 21);
    EXPECT_EQ(CountPages(SelectPages("1-5", 0)), 0);
}

}  // namespace
