// The one conversion of decoded pixels to another colour space (RGB for a
// PNG, CMYK for a TIFF), for whole images and row blocks alike.
//
// A single fz_convert_pixmap call can be neither stopped nor bounded in time:
// a Separation or DeviceN image runs its tint transform, which may be a
// PostScript function of thousands of operators, for every colour it meets,
// without allocating or reading. Here the pixels reach MuPDF in spans sized
// to take a few milliseconds, with the stop checked between them, and an
// image whose colour space runs a function (Separation, DeviceN, Indexed)
// has each distinct input converted once, for the whole image and across the
// row blocks of a streamed one. MuPDF converts every pixel from that pixel's
// samples alone (whatever the way it chooses for a pixmap), so the bytes are
// exactly those one fz_convert_pixmap call over the whole image gives.
#ifndef KESTRAN_PDF_COLOUR_CONVERT_H
#define KESTRAN_PDF_COLOUR_CONVERT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pdf/mu_context.h"

namespace kestran::pdf {

// Converts pixmaps of one colour space and alpha layout. Owned by one thread;
// the colour spaces must outlive it.
class ColourConverter {
public:
    // Pixels of `from` (an alpha sample after the colours when `alpha`) to
    // `to`, keeping that alpha when `keep_alpha`, as fz_convert_pixmap does.
    ColourConverter(fz_context* ctx, fz_colorspace* from, bool alpha, fz_colorspace* to, bool keep_alpha);

    // A new pixmap holding `pix` converted; null when MuPDF fails, memory is
    // refused or a stop was requested (CancelRequested).
    PixmapHandle Convert(fz_pixmap* pix);

    // Distinct inputs converted through the table of distinct inputs.
    size_t DistinctInputs() const { return outputs_.size() / (dst_n_ != 0 ? dst_n_ : 1); }

private:
    enum class Lookup { Done, Full, Failed };

    bool ConvertPixels(const uint8_t* src, size_t count, uint8_t* dst);
    Lookup LookUp(const uint8_t* src, size_t count, uint8_t* dst);
    bool ConvertSpans(const uint8_t* src, size_t count, uint8_t* dst);
    bool ConvertSpan(const uint8_t* src, size_t count, uint8_t* dst);
    void CopyResults(size_t count, uint8_t* dst) const;
    uint32_t& HashSlot(uint64_t key);

    fz_context* ctx_;
    fz_colorspace* from_;
    fz_colorspace* to_;
    bool alpha_;
    bool keep_alpha_;
    size_t src_n_;  // bytes of a source pixel
    size_t dst_n_;  // bytes of a converted pixel
    size_t span_ = 256;  // pixels of the next call to MuPDF, paced to its speed
    size_t max_span_;
    // The distinct inputs met so far (while `memoize_`): a slot per input
    // value when a pixel has at most 2 bytes, else an open-addressed table of
    // keys (the pixel's bytes); each slot holds the input's index in
    // `outputs_`, its converted bytes.
    bool memoize_ = false;
    std::vector<uint32_t> slots_;
    std::vector<uint64_t> keys_;
    std::vector<uint8_t> outputs_;
    std::vector<uint32_t> indices_;  // of the pixels being looked up
    std::vector<uint8_t> pending_;   // inputs met for the first time, to convert
};

// Converts `pix` to `to` with a converter of its own (see above).
PixmapHandle ConvertPixmap(fz_context* ctx, fz_pixmap* pix, fz_colorspace* to, bool keep_alpha);

}  // namespace kestran::pdf

#endif
