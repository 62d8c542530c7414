#include "common/size_text.h"

#include <charconv>

namespace kestran {
namespace {

// to_chars ignores the locale: the language choice of the window may set
// one whose decimal separator is a comma.
std::string OneDecimal(double value, const char* unit) {
    char buffer[64];
    const std::to_chars_result end =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    return std::string(buffer, end.ptr) + unit;
}

}  // namespace

std::string FormatSize(uint64_t bytes) {
    const double b = static_cast<double>(bytes);
    const double k = b / 1024;
    if (k < 1)
        return OneDecimal(b, "B");
    const double m = k / 1024;
    if (m < 1)
        return OneDecimal(k, "KB");
    const double g = m / 1024;
    if (g < 1)
        return OneDecimal(m, "MB");
    return OneDecimal(g, "GB");
}

}  // namespace kestran
