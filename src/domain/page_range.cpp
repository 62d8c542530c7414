#include "domain/page_range.h"

#include "domain/page_range_text.h"

wxString MatchPageRange(const wxString& typed) {
    return wxString::FromUTF8(kestran::MatchPageRange(typed.utf8_string()));
}

bool CheckPageRange(const wxString& text, int count) {
    return kestran::CheckPageRange(text.utf8_string(), count);
}

wxString ValidatePageRange(const wxString& typed, int count) {
    const std::string match = kestran::MatchPageRange(typed.utf8_string());
    if (match.empty() || !kestran::CheckPageRange(match, count))
        return wxString();
    return wxString::FromUTF8(kestran::CloseOpenRanges(match, count));
}
