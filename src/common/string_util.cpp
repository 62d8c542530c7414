#include "common/string_util.h"

#include <cwctype>

#include "common/number_text.h"

std::string StringUtil::YearOfDate(const std::string& date) {
    const std::string::size_type blank = date.rfind(' ');
    return blank == std::string::npos ? date : date.substr(blank + 1);
}

std::string StringUtil::GetBuildYear() {
    return YearOfDate(__DATE__);
}

int StringUtil::ToInt(const wxString& text) {
    // Leading blanks as the wide-character library knows them (beyond ASCII
    // too), then the shared reading of sign and digits.
    wxString::const_iterator it = text.begin();
    while (it != text.end() && std::iswspace(static_cast<wint_t>(static_cast<wxChar>(*it))))
        ++it;
    return kestran::ToInt(wxString(it, text.end()).utf8_string());
}
