// String helpers without state.
#ifndef KESTRAN_COMMON_STRING_UTIL_H
#define KESTRAN_COMMON_STRING_UTIL_H

#include <string>
#include <wx/string.h>

class StringUtil {
public:
    virtual ~StringUtil() = default;

    // The year of the build date (the text after the last blank of __DATE__).
    static std::string GetBuildYear();
    // The year out of a date text such as "May 22 2014" (text after the last blank).
    static std::string YearOfDate(const std::string& date);

    // Decimal text to int with the C library's atoi rules: leading white
    // space, an optional sign, then digits up to the first other character.
    // No digits gives 0; a value outside the int range is clamped to
    // INT_MIN / INT_MAX (instead of atoi's undefined result).
    static int ToInt(const wxString& text);
};

#endif
