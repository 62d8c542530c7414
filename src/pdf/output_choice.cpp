#include "pdf/output_choice.h"

#include <algorithm>
#include <cctype>

namespace kestran::pdf {

bool ParseOutputType(const std::string& text, OutputType& type)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (lower == "original")
        type = OutputType::Original;
    else if (lower == "png")
        type = OutputType::Png;
    else if (lower == "jpeg" || lower == "jpg")
        type = OutputType::Jpeg;
    else
        return false;
    return true;
}

const char* OutputTypeName(OutputType type)
{
    switch (type) {
    case OutputType::Png:
        return "png";
    case OutputType::Jpeg:
        return "jpeg";
    case OutputType::Original:
        break;
    }
    return "original";
}

}  // namespace kestran::pdf
