// Images drawn through a mask finer than themselves.
//
// Office and TeX producers draw a picture as a tiny image (often one flat
// colour) with a page-sized soft mask or stencil /Mask that holds the whole
// shape, and scanners put a fine text mask over a coarse colour layer. The
// written image then takes the mask's grid: the image's samples are repeated
// onto it (nearest neighbour, each sample kept as it is, the source pixel
// under the centre of each target pixel, as MuPDF's renderer picks it for an
// enlargement without smoothing) and the mask stays at its own resolution.
// A mask no finer than its image is drawn to the image's size as before.
#ifndef KESTRAN_PDF_MASK_GRID_H
#define KESTRAN_PDF_MASK_GRID_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pdf/mu_context.h"

namespace kestran::pdf {

// True when the image's mask has more pixels than the image and is at least
// as wide and as tall: the image is then written on the mask's grid.
bool MaskIsFiner(const fz_image* img);

// For each of `fine` pixels of a line of the finer grid, the pixel of the
// `coarse` line under its centre.
std::vector<uint32_t> NearestSources(uint32_t coarse, uint32_t fine);

// The image's rows at its own size, in the written file's layout: per pixel
// `colour_bytes` bytes of colour, then one alpha sample of `alpha_bytes`
// bytes (1 or 2) holding the image's own opacity (full when it has none;
// two-byte alpha is always full).
struct CoarseRows {
    std::shared_ptr<const std::vector<uint8_t>> data;
    size_t stride = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    size_t colour_bytes = 0;
    size_t alpha_bytes = 1;

    size_t PixelBytes() const { return colour_bytes + alpha_bytes; }
};

// One row of the finer grid into `dst`: the colours of source row
// `source_row` repeated through `columns`, each alpha the image's own times
// the mask's `opacity` (one byte per fine pixel).
void SpreadRow(const CoarseRows& rows, const std::vector<uint32_t>& columns, uint32_t source_row,
               const uint8_t* opacity, uint8_t* dst);

}  // namespace kestran::pdf

#endif
