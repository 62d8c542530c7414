#include "domain/page_range_text.h"

#include <regex.h>

#include <vector>

#include "common/number_text.h"

namespace kestran {
namespace {

// glibc's POSIX matcher, because the pattern needs the leftmost-longest
// overall match: wxRegEx (extended and advanced) and std::regex stop at the
// first alternative that fits and turn "1,3,4,5-10" into "1,3,4,5".
const char kPattern[] =
    "^[1-9][0-9]*(-[1-9][0-9]*)*(,?[1-9][0-9]*)*(,?[1-9][0-9]*-[1-9][0-9]*)*(,?[1-9][0-9]*)*";

class CompiledPattern {
public:
    CompiledPattern() { ok_ = regcomp(&re_, kPattern, REG_EXTENDED) == 0; }
    ~CompiledPattern() {
        if (ok_)
            regfree(&re_);
    }
    CompiledPattern(const CompiledPattern&) = delete;
    CompiledPattern& operator=(const CompiledPattern&) = delete;

    // Length in bytes of the longest leading match, or 0.
    size_t LeadingMatch(const char* text) const {
        regmatch_t m;
        if (!ok_ || regexec(&re_, text, 1, &m, 0) != 0 || m.rm_so != 0 || m.rm_eo <= 0)
            return 0;
        return static_cast<size_t>(m.rm_eo);
    }

private:
    regex_t re_;
    bool ok_ = false;
};

const CompiledPattern& Pattern() {
    static const CompiledPattern pattern;  // thread-safe initialisation; regexec is reentrant
    return pattern;
}

// "a,,b" gives "a", "", "b"; "" gives one empty piece.
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces(1);
    for (const char c : text) {
        if (c == separator)
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

}  // namespace

std::string MatchPageRange(std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n\v\f");
    text.erase(0, first == std::string::npos ? text.size() : first);
    return text.substr(0, Pattern().LeadingMatch(text.c_str()));
}

bool CheckPageRange(const std::string& text, int count) {
    for (const std::string& piece : Split(text, ',')) {
        if (piece.empty())
            return false;
        if (piece.find_first_not_of("0123456789") == std::string::npos) {
            if (ToInt(piece) > count)
                return false;
            continue;
        }
        // "a-b-c-d" is read as the pairs (a,b) and (c,d); a lone last number
        // pairs with 0 and so fails.
        const std::vector<std::string> numbers = Split(piece, '-');
        for (size_t i = 0; i < numbers.size(); i += 2) {
            const int first_page = ToInt(numbers[i]);
            const int last_page = i + 1 < numbers.size() ? ToInt(numbers[i + 1]) : 0;
            if (last_page > count || last_page < first_page)
                return false;
        }
    }
    return true;
}

}  // namespace kestran
