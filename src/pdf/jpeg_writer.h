// JPEG files for the JPEG output type, written through libjpeg a block of
// rows at a time into a sink, so that neither the image nor its compressed
// data is held whole.
#ifndef KESTRAN_PDF_JPEG_WRITER_H
#define KESTRAN_PDF_JPEG_WRITER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "pdf/pixel_hash.h"

namespace kestran::pdf {

// What every output type's JPEG is made with.
constexpr int kJpegQuality = 92;

struct JpegFormat {
    uint32_t width = 0;
    uint32_t height = 0;
    int components = 3;        // 1 (gray) or 3 (sRGB), 8 bits each
    int quality = kJpegQuality;
    bool full_chroma = false;  // 4:4:4; else colour at half resolution both ways (4:2:0)
};

// Receives the bytes of the file as they are produced; false stops the encoder.
using JpegSink = std::function<bool(const uint8_t* data, size_t size)>;

// libjpeg's compressor owns all its state per file, so one encoder per
// image and thread needs no lock. `pixels`, when not null, receives at a
// successful Finish the hash of the format and the rows given (pixel_hash.h).
class JpegStreamEncoder {
public:
    JpegStreamEncoder(const JpegFormat& format, JpegSink sink, PixelHash* pixels = nullptr);
    ~JpegStreamEncoder();
    JpegStreamEncoder(const JpegStreamEncoder&) = delete;
    JpegStreamEncoder& operator=(const JpegStreamEncoder&) = delete;

    // `count` rows of width x components bytes, `stride` apart. False after a
    // libjpeg or sink failure, or when more rows arrive than the format has.
    bool AddRows(const uint8_t* rows, size_t stride, size_t count);
    // Ends the file (all rows must have been given).
    bool Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kestran::pdf

#endif
