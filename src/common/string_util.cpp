#include "common/string_util.h"

#include <climits>
#include <cwctype>

std::string StringUtil::YearOfDate(const std::string& date) {
    const std::string::size_type blank = date.rfind(' ');
    return blank == std::string::npos ? date : date.substr(blank + 1);
}

std::string StringUtil::GetBuildYear() {
    return YearOfDate(__DATE__);
}

int StringUtil::ToInt(const wxString& text) {
    wxString::const_iterator it = text.begin();
    const wxString::const_iterator end = text.end();
    while (it != end && std::iswspace(static_cast<wint_t>(static_cast<wxChar>(*it))))
        ++it;
    bool negative = false;
    if (it != end && (*it == '+' || *it == '-')) {
        negative = (*it == '-');
        ++it;
    }
    long long value = 0;  // magnitude, saturated just above the int range
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    for (; it != end; ++it) {
        const wxChar c = *it;
        if (c < '0' || c > '9')
            break;
        if (value < limit)
            value = value * 10 + (c - '0');
    }
    if (negative)
        return value >= limit ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}
