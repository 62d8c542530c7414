#include "domain/page_range.h"

#include "domain/page_range_text.h"

// The rules live in page_range_text.cpp, shared with kestran-extract; these
// are their wxString faces for the window.

wxString MatchPageRange(wxString& text) {
    std::string utf8 = text.utf8_string();
    const std::string match = kestran::MatchPageRange(utf8);
    text = wxString::FromUTF8(utf8);  // without its leading blanks, as the caller expects
    return wxString::FromUTF8(match);
}

bool CheckPageRange(const wxString& text, int count) {
    return kestran::CheckPageRange(text.utf8_string(), count);
}

wxString ValidatePageRange(const wxString& typed, int count) {
    wxString text = typed;
    const wxString match = MatchPageRange(text);
    if (match.empty() || !CheckPageRange(match, count))
        return wxString();
    return match;
}
