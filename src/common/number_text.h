// Decimal text to int, without wxWidgets (StringUtil::ToInt wraps it).
#ifndef KESTRAN_COMMON_NUMBER_TEXT_H
#define KESTRAN_COMMON_NUMBER_TEXT_H

#include <string_view>

namespace kestran {

// The C library's atoi rules: leading ASCII white space, an optional sign,
// then digits up to the first other character. No digits gives 0; a value
// outside the int range is clamped to INT_MIN / INT_MAX.
int ToInt(std::string_view text);

}  // namespace kestran

#endif
