// The encoder's helpers that its files share (image_encoder.cpp, the
// JPEG 2000 ways in image_encoder_jpx.cpp, the printing inks in
// image_encoder_cmyk.cpp). Not for use outside the encoder.
#ifndef KESTRAN_PDF_IMAGE_ENCODER_PARTS_H
#define KESTRAN_PDF_IMAGE_ENCODER_PARTS_H

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {
#include <mupdf/fitz.h>
#include <mupdf/pdf.h>
}

namespace kestran::pdf {

struct DrawnImage;

namespace encoder_parts {

enum fz_colorspace_type SpaceType(fz_context* ctx, fz_colorspace* cs);

// /Decode as the image's default ([0 1 ...], or [0 2^bpc-1] for Indexed).
bool DefaultDecode(fz_context* ctx, fz_image* img);

// /Decode [1 0 ...]: every sample inverted (never for Indexed).
bool InvertedDecode(fz_context* ctx, fz_image* img);

// True when an Indexed JPEG 2000 image's /Decode (8-bit indices) leaves
// the indices as they are: none, or [0 255] as some producers write it.
bool IndexDecodeUnchanged(fz_context* ctx, pdf_obj* decode);

// The stop as a writer's callback.
bool StopRequested(void*);

// Un-premultiplies one colour sample.
inline uint8_t Unpremultiply(uint8_t c, uint8_t a)
{
    if (a == 0)
        return 0;
    if (a == 255)
        return c;
    unsigned v = (static_cast<unsigned>(c) * 255u + a / 2u) / a;
    return static_cast<uint8_t>(v > 255u ? 255u : v);
}

// A colour-keyed image decoded again without its key, its colours converted
// to `want` (may be null); null for an image without a key or stored bytes,
// or when it will not decode.
fz_pixmap* UnkeyedColours(fz_context* ctx, fz_image* img, fz_colorspace* want);

// RGB palette of an Indexed colour space, 2^bpc entries.
bool BuildPalette(fz_context* ctx, fz_colorspace* indexed, int bpc, std::vector<uint8_t>& palette);
bool BuildPalette(fz_context* ctx, fz_image* img, std::vector<uint8_t>& palette);

// The image's samples with compression and predictor undone, `size` bytes,
// short data padded with zeros.
bool ReadImageSamples(fz_context* ctx, pdf_document* doc, fz_image* img, size_t size, std::vector<uint8_t>& samples);

// The ICC profile of a gray or RGB image (also the base of a palette), for
// its PNG; empty for other colours.
std::vector<uint8_t> PngProfileOf(fz_context* ctx, const DrawnImage& drawn);

}  // namespace encoder_parts
}  // namespace kestran::pdf

#endif
