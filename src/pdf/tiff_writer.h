// CMYK TIFF files, the one common format that holds printing inks as they are.
#ifndef KESTRAN_PDF_TIFF_WRITER_H
#define KESTRAN_PDF_TIFF_WRITER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "pdf/pixel_hash.h"

namespace kestran::pdf {

struct TiffFormat {
    uint32_t width = 0;
    uint32_t height = 0;
    int bits = 8;                      // 8 or 16 per sample
    bool alpha = false;                // a fifth, unassociated alpha sample per pixel
    std::vector<uint8_t> icc_profile;  // embedded when not empty
};

// Fills `count` rows from row `y` on into `rows`: C, M, Y, K (and alpha) per
// pixel, 16-bit samples in the machine's byte order, rows packed. False
// abandons the file.
using TiffRowSource = std::function<bool(uint32_t y, uint32_t count, uint8_t* rows)>;

// Writes a CMYK TIFF (Deflate with the horizontal predictor, one strip of
// about 64 KiB of samples at a time, so that only one strip is held besides
// the compressed file) into `out`. `should_stop` (may be null) is polled
// between strips. False on a bad format, a source failure or a stop.
// `pixels`, when not null, receives on success the hash of what the TIFF
// shows (pixel_hash.h): its format (size, depth, alpha, profile), then the
// samples as the row source gave them. WrapCmykTiffStrip gives the same hash
// for the same picture.
bool EncodeCmykTiff(const TiffFormat& format, const TiffRowSource& rows, std::vector<uint8_t>& out,
                    bool (*should_stop)(void*) = nullptr, void* stop_user = nullptr, PixelHash* pixels = nullptr);

// Writes a CMYK TIFF whose one strip is `zlib_data` as it is: a PDF's Flate
// stream without predictor already is a TIFF Deflate strip (no predictor), so
// the image needs neither decoding nor compressing again. 8-bit samples
// only (PDF's 16-bit ones are big-endian, which Pillow does not read). False unless the stream inflates
// to exactly the image's samples (checked in blocks, nothing kept).
// `pixels`, when not null, receives the hash of EncodeCmykTiff, taken from
// the samples the check inflates.
bool WrapCmykTiffStrip(const TiffFormat& format, const uint8_t* zlib_data, size_t zlib_size,
                       std::vector<uint8_t>& out, PixelHash* pixels = nullptr);

// Gives a TIFF made here (in `file`) the resolution tags (XResolution,
// YResolution, ResolutionUnit inch) for `ppi_x` x `ppi_y` pixels per inch:
// its directory is written again at the end of the file, the data left as
// it is. False, the file unchanged, when it cannot be done.
bool SetTiffResolution(std::vector<uint8_t>& file, double ppi_x, double ppi_y);

}  // namespace kestran::pdf

#endif
