#include "pdf/page_selection.h"

#include <algorithm>
#include <climits>
#include <optional>

namespace kestran::pdf {
namespace {

std::string Trim(const std::string& text)
{
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = text.find(separator, start);
        parts.push_back(text.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos)
            break;
        start = pos + 1;
    }
    return parts;
}

// A number made of digits only; values beyond int saturate, so that "99999999999"
// still reads as "beyond the last page".
std::optional<long long> ReadNumber(const std::string& raw)
{
    std::string text = Trim(raw);
    if (text.empty())
        return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = std::min<long long>(value * 10 + (c - '0'), INT_MAX);
    }
    return value;
}

}  // namespace

std::vector<PageRun> SelectPages(const std::string& range, int page_count)
{
    std::vector<PageRun> runs;
    auto mark = [&](long long first, long long last) {
        first = std::max<long long>(first, 1);
        last = std::min<long long>(last, page_count);
        if (first <= last)
            runs.push_back({static_cast<int>(first), static_cast<int>(last)});
    };

    for (const std::string& piece : Split(range, ',')) {
        if (Trim(piece).empty())
            continue;
        if (piece.find('-') == std::string::npos) {
            if (auto page = ReadNumber(piece))
                mark(*page, *page);
            continue;
        }
        std::vector<std::string> numbers = Split(piece, '-');
        for (size_t i = 0; i < numbers.size(); i += 2) {
            std::optional<long long> first = ReadNumber(numbers[i]);
            if (i + 1 >= numbers.size()) {
                if (first)
                    mark(*first, *first);
                break;
            }
            std::optional<long long> last;
            if (Trim(numbers[i + 1]).empty() && i + 2 == numbers.size())
                last = page_count;  // "7-": to the end
            else
                last = ReadNumber(numbers[i + 1]);
            if (first && last && *first >= 1 && *last >= *first)
                mark(*first, *last);
        }
    }

    std::sort(runs.begin(), runs.end(), [](const PageRun& a, const PageRun& b) { return a.first < b.first; });
    std::vector<PageRun> merged;
    for (const PageRun& run : runs) {
        if (!merged.empty() && static_cast<long long>(run.first) <= static_cast<long long>(merged.back().last) + 1)
            merged.back().last = std::max(merged.back().last, run.last);
        else
            merged.push_back(run);
    }
    return merged;
}

long long CountPages(const std::vector<PageRun>& runs)
{
    long long count = 0;
    for (const PageRun& run : runs)
        count += static_cast<long long>(run.last) - run.first + 1;
    return count;
}

}  // namespace kestran::pdf
