// JPEG 2000 inside the memory budget and the stop.
//
// openjpeg allocates with the C library's malloc, never through MuPDF's
// allocator, and decodes a whole image in one call that looks at no stop
// flag. MuPDF hands it every JPEG 2000 image it loads, in full, as soon as the
// page run meets the image. So nothing of the engine's budget (memory_budget.h)
// or of a stop reaches a JPEG 2000 decode by itself. Here:
//  - the size an image declares (the codestream's SIZ marker segment, also
//    inside a JP2 file) gives, before anything is decoded, what each way of
//    decoding it costs outside MuPDF (JpxDecodeCost, measured), and that cost
//    must fit in the image's own budget and in what is left of the process
//    budget, where it is held while openjpeg works (TakeJpxMemory); a damaged
//    size of 2^31 columns is refused in microseconds;
//  - the page walk decides per image object (PlanJpx) whether MuPDF may
//    decode it at all: an image that will be copied, that is decoded here,
//    or that does not fit gets a stand-in (large_image.h), so MuPDF never
//    decodes it;
//  - large images of the common layouts are decoded here a window of rows
//    (or a row of tiles) at a time, the stop checked between windows, the
//    rows written as they come (JpxRows).
#ifndef KESTRAN_PDF_JPX_DECODE_H
#define KESTRAN_PDF_JPX_DECODE_H

#include <openjpeg-2.5/openjpeg.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pdf/copy_rule.h"
#include "pdf/jpx_reader.h"
#include "pdf/memory_budget.h"

namespace kestran::pdf {

// ---------------------------------------------------------------------------
// Cost and budget

// How a JPEG 2000 image is decoded: the copy rule's check at the lowest
// resolution, whole (by MuPDF, or by openjpeg for a palette), or by windows.
enum class JpxWay { Check, Whole, Windows };

// Bytes the way costs outside MuPDF's allocator for what `header` declares,
// `stored` being the size of the JPEG 2000 data; the most a 64-bit count
// holds when the header declares no size.
uint64_t JpxDecodeCost(const JpxHeader& header, size_t stored, JpxWay way);

// True when the image is in several tiles: decoded a row of tiles at a time.
bool JpxTiled(const JpxHeader& header);

// Rows of one window (a multiple of the code-block height), for the cost and
// for the decoding.
uint32_t JpxWindowRows(const JpxHeader& header, size_t stored);

// Takes `need` bytes from the process budget while the result lives, when
// they fit in `image_budget` and in what is left; null otherwise, with `why`
// saying which limit (the log's "image skipped: ..." reason).
std::unique_ptr<UncountedMemory> TakeJpxMemory(uint64_t need, uint64_t image_budget, std::string& why);

// Decoded 8-bit size up to which an image keeps the whole decode (MuPDF's,
// and the encoder's ways after it): the output of the tests and of most files
// stays what it was, and the cost is bounded by the budget check.
constexpr uint64_t kJpxWholeDecodeBytes = uint64_t(4) << 20;

// What is known of a JPEG 2000 image object before anything is decoded.
struct JpxPlan {
    bool jpx = false;      // a JPEG 2000 image object
    JpxLook look;
    JpxHeader header;      // from the stream's first bytes
    size_t stored = 0;     // bytes of the JPEG 2000 data (its /Length when larger than what was read)
    uint64_t budget = 0;   // the image's budget from what it declares
    bool windowed = false; // when not copied, it is decoded here by windows (JpxRows)
    uint64_t mask_cost = 0; // the whole decode of a JPEG 2000 /SMask or /Mask, which comes with the image's

    uint64_t Cost(JpxWay way) const;
};

// Reads the dictionary of `ref` and the first bytes of its stream. The
// budget is `image_budget` when not 0, else the one of what the dictionary
// declares (the header's size when the dictionary's is not believable).
// Never throws.
JpxPlan PlanJpx(fz_context* ctx, pdf_obj* ref, uint64_t image_budget = 0);

// The plan of the image's /SMask or /Mask when that is a JPEG 2000 stream
// (`jpx` false otherwise). MuPDF decodes such a mask whole whenever it loads
// the image, without looking in its store: the image itself must then not
// reach MuPDF when the mask does not fit.
JpxPlan JpxMaskPlan(fz_context* ctx, pdf_obj* ref);

// True when the whole decode (the image's and its JPEG 2000 mask's) fits
// the budget and what is left of the process's.
bool JpxWholeFits(const JpxPlan& plan);

// True when MuPDF may decode the object while the page runs: it is neither
// copied nor decoded here, its header is one MuPDF reads, and its whole
// decode fits its budget.
bool MuPdfMayDecode(const JpxPlan& plan);

// ---------------------------------------------------------------------------
// Decoding by windows

// Rows of a JPEG 2000 image held in memory, decoded in order a window at a
// time (a row of tiles for a tiled image), each sample converted to 8 bits
// as MuPDF converts it (its top 8 bits, signed samples shifted up first): the
// pixels of MuPDF's whole decode. For layouts MuPDF shows as they are: 1, 3 or
// 4 colour components on the full grid, no palette, channel definitions or
// sYCC, at most 16 bits (see PlanJpx).
class JpxRows {
public:
    // `data` must outlive the object. `window_rows` 0: JpxWindowRows.
    JpxRows(const uint8_t* data, size_t size, const JpxHeader& header, uint32_t window_rows = 0);

    // Reads the header; false (and `why`) when the image is not one of the
    // layouts above or cannot be read.
    bool Open(std::string* why);

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    int components() const { return components_; }

    // The next `count` rows, pixel after pixel. False when the data is
    // damaged (openjpeg complained) or a stop was requested.
    bool Read(uint32_t count, uint8_t* rows);

private:
    bool NextBand();
    bool NextWindow();
    bool NextTileRow();

    JpxCheck check_;
    JpxDecoder decoder_;
    JpxHeader header_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    int components_ = 0;
    uint32_t x0_ = 0;  // the image area on the reference grid
    uint32_t y0_ = 0;
    bool tiled_ = false;
    uint32_t tiles_across_ = 0;
    uint32_t window_rows_ = 0;
    std::vector<uint8_t> band_;  // decoded rows not yet read
    uint32_t band_rows_ = 0;
    uint32_t band_read_ = 0;
    uint32_t next_row_ = 0;      // first row of the next band
    std::vector<uint8_t> tile_;
};

}  // namespace kestran::pdf

#endif
