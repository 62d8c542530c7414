#include "domain/page_range.h"

#include <regex.h>

#include <memory>

#include <wx/arrstr.h>

#include "common/string_util.h"

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

}  // namespace

wxString MatchPageRange(wxString& text) {
    text.Trim(false);
    const wxScopedCharBuffer utf8 = text.utf8_str();
    const size_t length = Pattern().LeadingMatch(utf8.data());
    // The pattern matches ASCII only, so the byte length is the character length.
    return wxString::FromUTF8(utf8.data(), length);
}

bool CheckPageRange(const wxString& text, int count) {
    const wxArrayString pieces = wxSplit(text, ',', '\0');
    if (pieces.empty())
        return false;  // an empty text is one empty piece
    for (const wxString& piece : pieces) {
        if (piece.empty())
            return false;
        if (piece.find_first_not_of("0123456789") == wxString::npos) {
            if (StringUtil::ToInt(piece) > count)
                return false;
            continue;
        }
        const wxArrayString numbers = wxSplit(piece, '-', '\0');
        for (size_t i = 0; i < numbers.size(); i += 2) {
            const int first = StringUtil::ToInt(numbers[i]);
            const int second = i + 1 < numbers.size() ? StringUtil::ToInt(numbers[i + 1]) : 0;
            if (second > count || second < first)
                return false;
        }
    }
    return true;
}

wxString ValidatePageRange(const wxString& typed, int count) {
    wxString text = typed;
    const wxString match = MatchPageRange(text);
    if (match.empty() || !CheckPageRange(match, count))
        return wxString();
    return match;
}
