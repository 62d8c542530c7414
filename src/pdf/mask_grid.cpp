#include "pdf/mask_grid.h"

#include <cstring>

namespace kestran::pdf {

bool MaskIsFiner(const fz_image* img)
{
    const fz_image* mask = img != nullptr ? img->mask : nullptr;
    if (mask == nullptr || mask->w <= 0 || mask->h <= 0)
        return false;
    return mask->w >= img->w && mask->h >= img->h &&
           static_cast<uint64_t>(mask->w) * static_cast<uint64_t>(mask->h) >
               static_cast<uint64_t>(img->w) * static_cast<uint64_t>(img->h);
}

std::vector<uint32_t> NearestSources(uint32_t coarse, uint32_t fine)
{
    // Centre of target pixel i is (i + 0.5) / fine of the line; the source
    // pixel holding it is floor((2i + 1) * coarse / (2 * fine)).
    std::vector<uint32_t> sources(fine);
    for (uint32_t i = 0; i < fine; ++i) {
        const uint64_t s = ((2 * static_cast<uint64_t>(i) + 1) * coarse) / (2 * static_cast<uint64_t>(fine));
        sources[i] = static_cast<uint32_t>(s < coarse ? s : coarse - 1);
    }
    return sources;
}

void SpreadRow(const CoarseRows& rows, const std::vector<uint32_t>& columns, uint32_t source_row,
               const uint8_t* opacity, uint8_t* dst)
{
    const size_t pixel = rows.PixelBytes();
    const uint8_t* src = rows.data->data() + rows.stride * source_row;
    for (size_t x = 0; x < columns.size(); ++x) {
        const uint8_t* p = src + pixel * columns[x];
        std::memcpy(dst, p, rows.colour_bytes);
        dst += rows.colour_bytes;
        const uint8_t m = opacity[x];
        if (rows.alpha_bytes == 2) {
            // The mask's 8 bits widened (m * 257): the same bytes in either byte order.
            *dst++ = m;
            *dst++ = m;
        } else {
            *dst++ = static_cast<uint8_t>((p[rows.colour_bytes] * m + 127) / 255);
        }
    }
}

}  // namespace kestran::pdf
