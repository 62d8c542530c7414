// Fixture files that attack time and memory rather than the parser: decoders
// that run away, streams that inflate far beyond their size, images whose
// data asks for more memory than they declare, and huge damaged files.
#ifndef KESTRAN_TESTS_SUPPORT_BOMB_FIXTURES_H
#define KESTRAN_TESTS_SUPPORT_BOMB_FIXTURES_H

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/pdf_fixtures.h"

namespace fixtures {

// A zlib stream of `count` zero bytes, built in time and memory proportional
// to its compressed size (about a thousandth of `count`).
std::string DeflateZeros(uint64_t count);

// One page drawing one image of `width` x `height` x `components` zero
// samples at 8 bits in colour space `colorspace` ("/DeviceGray", ...), stored
// as DeflateZeros: a Flate bomb, small on disk, huge once decoded. `extra`
// adds dictionary entries.
FixturePdf MakeFlateBombPdf(int width, int height, const std::string& colorspace, int components,
                            const std::string& extra = std::string());

// A JBIG2 image of `side` x `side` whose stream holds `regions` generic
// regions, each covering the whole page with a few bytes of arithmetic-coded
// data that decode into a full region. Every region allocates its bitmap
// again and then decodes for a while: the decoder runs for minutes in
// little memory, allocating all the time.
FixturePdf MakeJbig2RegionBombPdf(int side = 2000, int regions = 20000);

// A small image (listed in `images`) and then a `declared` x `declared` JBIG2
// image whose stream describes a page of `page_side` x `page_side`: its
// decoder asks for far more memory than the image declares, as damaged JBIG2
// data does.
FixturePdf MakeJbig2OversizePagePdf(int declared = 100, int page_side = 40000);

// One page drawing one `side` x `side` 8-bit image in a Separation (`inks`
// 1) or DeviceN (`inks` 2 to 8) colour space with a CMYK alternate, whose
// Type 4 (PostScript) tint transform runs about `operators` operators for
// every colour it converts. The samples mix gradients and noise, so that
// with 3 inks or more nearly every pixel has a colour of its own: the
// conversion then evaluates the long function once per pixel.
FixturePdf MakeTintFunctionPdf(int side = 400, int operators = 20000, int inks = 4);

// One page of `images` small RGB images (`side` x `side`), each with a soft
// mask of its own at `mask_width` x `mask_height`, as presentations place
// cut-out pictures: the masks, not the images, hold the pixels.
FixturePdf MakePageMaskPdf(int images = 12, int side = 24, int mask_width = 2480, int mask_height = 3508);

// A damaged PDF of `size` bytes: a header and then zeros, written as a sparse
// file (ftruncate), so that even gigabytes cost no disk space.
void WriteSparseDamagedPdf(const std::filesystem::path& path, uint64_t size);

}  // namespace fixtures

#endif
