#include "pdf/output_choice.h"

#include <algorithm>
#include <cctype>
#include <cmath>

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

Placement PlacementOf(double a, double b, double c, double d, double e, double f, int width, int height)
{
    Placement placement;
    const double xs[4] = {e, a + e, c + e, a + c + e};
    const double ys[4] = {f, b + f, d + f, b + d + f};
    placement.x0 = *std::min_element(xs, xs + 4);
    placement.x1 = *std::max_element(xs, xs + 4);
    placement.y0 = *std::min_element(ys, ys + 4);
    placement.y1 = *std::max_element(ys, ys + 4);
    // A point is 1/72 inch.
    const double inches_x = std::hypot(a, b) / 72.0;
    const double inches_y = std::hypot(c, d) / 72.0;
    placement.ppi_x = inches_x > 0 ? width / inches_x : 0;
    placement.ppi_y = inches_y > 0 ? height / inches_y : 0;
    placement.known = std::isfinite(placement.x0) && std::isfinite(placement.x1) && std::isfinite(placement.y0) &&
                      std::isfinite(placement.y1) && std::isfinite(placement.ppi_x) && std::isfinite(placement.ppi_y);
    return placement;
}

}  // namespace kestran::pdf
