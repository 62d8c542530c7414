// Large image objects that are read from the file while they are written.
//
// MuPDF reads the whole compressed stream of an image into memory when a page
// that draws it runs, and decodes it whole when asked for its pixels, although
// finding the images only needs their place on the page. For a large image
// object whose output needs neither, a small stand-in image carrying the
// object's size, depth, colour space and /Decode is put into MuPDF's store
// under the object before the page runs: MuPDF then draws the stand-in, and
// the stream is later read from the file in blocks, either copied unchanged
// (a JPEG kept byte for byte, Flate data that already holds PNG rows) or
// decoded through its filters a block of rows at a time (CCITT, Flate, LZW,
// RunLength or no compression: 1-bit pages and stencils of any size).
// The decision uses the object's dictionary only; whether a stream is then
// really copied is the copy rule's (copy_rule.h), and when it is not, the
// real image is loaded after all. Everything else takes MuPDF's usual way.
//
// JPEG 2000 image objects that may be copied, that are decoded by windows, or
// whose whole decode does not fit their budget get a stand-in at any size:
// MuPDF decodes JPEG 2000 in full as soon as it loads the image, outside the
// budget and the stop (jpx_decode.h), which a copy never needs.
#ifndef KESTRAN_PDF_LARGE_IMAGE_H
#define KESTRAN_PDF_LARGE_IMAGE_H

#include <cstddef>
#include <cstdint>

#include "pdf/copy_rule.h"
#include "pdf/mu_context.h"
#include "pdf/output_file.h"
#include "pdf/png_writer.h"

namespace kestran::pdf {

// Rows: nothing is copied; the samples are decoded from the file row by row.
// Refused: an image whose JPEG 2000 mask does not fit its budget, which
// MuPDF would decode with the image (jpx_decode.h).
enum class StoredCopy { None, Jpeg, PngRows, Jpx, Rows, Refused };

// What a stand-in stands for.
struct StandIn {
    StoredCopy copy = StoredCopy::None;
    int num = 0;
    int gen = 0;
    fz_compression_params params{};  // as MuPDF would have read them
    uint32_t filters = 0;            // CRC-32 of the /Filter and /DecodeParms objects as written
};

// Streams smaller than this are left to MuPDF: holding them costs little.
constexpr size_t kDefaultStandInBytes = size_t(256) << 10;

// The sample layouts the encoder writes by rows, decided here once for the
// stand-ins (from the dictionary) and the encoder (from the image): a stencil
// of 1 bit; gray, RGB or Indexed samples (Indexed of at most 8 bits) under
// the default or the inverting /Decode (`plain_decode`); 8 or 16-bit CMYK,
// Separation or DeviceN samples, converted to RGB under any /Decode; with a
// mask beside them (`masked`) only 8 or 16-bit gray or RGB.
bool RowsLayoutSupported(enum fz_colorspace_type type, int n, int bpc, bool imagemask, bool masked, bool plain_decode);

// True when Flate data under these /DecodeParms values (`predictor`,
// `columns`, `colors`, `parm_bpc`) already holds the PNG rows of an image `w`
// pixels wide with `n` colours of `bpc` bits in a space of `type`: PNG
// predictors (10 to 15) over exactly the image's rows, in a layout PNG has
// (gray of 1 to 16 bits, RGB of 8 or 16, a palette of at most 8). Decided
// here once for the stand-ins (from the dictionary) and the encoder (from the
// image); whether the data really inflates to those rows is checked apart.
bool FlateRowsArePngRows(int predictor, int columns, int colors, int parm_bpc, enum fz_colorspace_type type, int w,
                         int n, int bpc);

// Stored data up to this size is kept whole to tell images apart (an image's
// key hashes it whole, StreamDigest keeps it); longer data is told by its
// size and checksums.
constexpr size_t kSmallDataBytes = 4096;

// When `ref` is an image object whose stream of at least `min_bytes` will be
// copied as it is, or whose samples of at least `min_bytes` can be decoded
// row by row, puts a stand-in image into the store under it and returns true
// with `info` filled. Never throws.
bool StoreStandIn(fz_context* ctx, pdf_document* doc, pdf_obj* ref, size_t min_bytes, StandIn& info);

// True when `img` is a stand-in made by StoreStandIn.
bool IsStandIn(const fz_image* img);

// What the stand-in `img` stands for (copy None when `img` is not one).
StandIn StandInOf(const fz_image* img);

// Size, CRC-32 and Adler-32 of the stored (decrypted, still compressed)
// stream, the stream kept when it is no longer than kSmallDataBytes. False
// when the stream cannot be read.
struct StreamDigest {
    size_t size = 0;
    uint32_t crc = 0;
    uint32_t adler = 1;
    std::vector<uint8_t> small;  // the whole stream when size <= kSmallDataBytes
};
bool DigestStoredStream(fz_context* ctx, pdf_document* doc, const StandIn& info, StreamDigest& digest);

// True when the stored stream inflates to exactly the filtered rows of
// `format` with valid filter bytes; `pixels`, when not null, then receives
// the hash of the PNG's pixels (PngRowsCheck).
bool StoredStreamHoldsPngRows(fz_context* ctx, pdf_document* doc, const StandIn& info, const PngFormat& format,
                              PixelHash* pixels = nullptr);

// The stored stream read from the file block by block as the caller asks for
// it (stopping when a stop is requested). The source holds the stream open
// until it is destroyed.
BlockSource StoredBlocks(fz_context* ctx, pdf_document* doc, const StandIn& info);

// Copies the stored stream to `sink` in blocks: as it is (`png` null), or as
// the IDAT chunks of a PNG of `*png`. False when the stream cannot be read,
// the sink fails or a stop is requested.
bool CopyStoredStream(fz_context* ctx, pdf_document* doc, const StandIn& info, const PngFormat* png,
                      const ByteSink& sink);

// The object's samples with every filter (and predictor) undone, read from
// the file as they are consumed. Null when the stream cannot be opened.
fz_stream* OpenStoredSamples(fz_context* ctx, pdf_document* doc, const StandIn& info);

}  // namespace kestran::pdf

#endif
