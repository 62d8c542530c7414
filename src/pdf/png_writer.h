// A small PNG encoder made for extraction: every bit depth and colour type the
// format has, a deflate tuned for speed, and a way to store a zlib stream that
// already holds PNG-filtered rows without touching it.
#ifndef KESTRAN_PDF_PNG_WRITER_H
#define KESTRAN_PDF_PNG_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "pdf/pixel_hash.h"

namespace kestran::pdf {

enum class PngColor : uint8_t { Gray = 0, Rgb = 2, Palette = 3, GrayAlpha = 4, Rgba = 6 };

struct PngFormat {
    uint32_t width = 0;
    uint32_t height = 0;
    int bit_depth = 8;            // 1, 2, 4, 8 or 16, as the colour type allows
    PngColor color = PngColor::Rgb;
    std::vector<uint8_t> palette;       // RGB triples, Palette only
    std::vector<uint8_t> transparency;  // tRNS: alpha per palette entry
    std::vector<uint8_t> icc_profile;   // iCCP: written when it is a gray profile for a gray
                                        // image or an RGB profile for colour or a palette
    bool srgb = false;                  // sRGB chunk, when no profile is written
};

// Samples per pixel of a colour type (a palette index counts as one).
int PngChannels(PngColor color);

// Bytes of one unfiltered row (samples packed, 16-bit big-endian).
size_t PngRowBytes(const PngFormat& format);

// False when the combination of colour type, depth and size is not valid PNG.
bool IsValidPngFormat(const PngFormat& format);

// Deflate effort, 1 (fastest) to 9. Measured with libdeflate on a 3000 x 2000
// photo: level 1 225 ms / 58.5 %, level 2 218 ms / 56.3 %, level 6 263 ms /
// 56.3 %, level 9 400 ms; zlib level 1 without filters 620 ms / 80 %. Level 2
// is as fast as level 1 and as small as level 6.
constexpr int kDefaultPngLevel = 2;

// Encodes `height` rows of `PngRowBytes` bytes each, `stride` bytes apart, into
// `out` (replaced). `should_stop` (may be null) is polled between rows; when it
// answers true encoding ends and false is returned. False also on a bad format.
// `pixels`, when not null, receives on success the hash of what the PNG
// shows (pixel_hash.h): its format as the header writes it (size, depth,
// colour type, palette, transparency, the profile or sRGB chunk actually
// written), then its rows, the bits after a row's last pixel left out. Every
// way a PNG is made here (EncodePng, PngStreamEncoder, a stored stream
// passing PngRowsCheck) gives the same hash for the same picture.
bool EncodePng(const PngFormat& format, const uint8_t* rows, size_t stride, std::vector<uint8_t>& out,
               int level = kDefaultPngLevel, bool (*should_stop)(void*) = nullptr, void* stop_user = nullptr,
               PixelHash* pixels = nullptr);

// Builds a PNG around a zlib stream whose inflated content is already the
// filtered image data (one filter byte and PngRowBytes bytes per row).
bool WrapPngIdat(const PngFormat& format, const uint8_t* zlib_data, size_t zlib_size, std::vector<uint8_t>& out);

// The same without copying the stream: the PNG is `head`, the zlib data as
// one IDAT chunk, then `tail`.
bool WrapPngIdatParts(const PngFormat& format, const uint8_t* zlib_data, size_t zlib_size, std::vector<uint8_t>& head,
                      std::vector<uint8_t>& tail);

// Checks that `zlib_data` inflates to exactly `height` filtered rows of the
// format with valid filter bytes, so that wrapping it gives a PNG that decodes.
// `pixels`, when not null, receives the hash of the rows the stream holds
// (as EncodePng hashes them, the filters undone) when it passes.
bool IsPngFilteredStream(const PngFormat& format, const uint8_t* zlib_data, size_t zlib_size,
                         PixelHash* pixels = nullptr);

class PngPixelHasher;

// The same check over a zlib stream that arrives in blocks (a stream copied
// from the file without holding it): Feed each block, then Finish. With
// `pixels`, the rows are unfiltered as they pass, and a successful Finish
// leaves their hash there: a copied PNG then has the hash that the same
// pixels encoded here would have.
class PngRowsCheck {
public:
    explicit PngRowsCheck(const PngFormat& format, PixelHash* pixels = nullptr);
    ~PngRowsCheck();
    PngRowsCheck(const PngRowsCheck&) = delete;
    PngRowsCheck& operator=(const PngRowsCheck&) = delete;

    // False as soon as the data cannot be the rows.
    bool Feed(const uint8_t* data, size_t size);
    // True when the stream ended holding exactly the rows.
    bool Finish();

private:
    void Inflate();
    void Unfilter(const uint8_t* data, size_t size);

    size_t row_bytes_ = 0;
    size_t expected_ = 0;
    size_t total_ = 0;
    size_t next_filter_ = 0;  // offset of the next row's filter byte
    int status_ = 0;
    bool ready_ = false;
    bool failed_ = false;
    struct Zlib;
    std::unique_ptr<Zlib> zlib_;
    std::vector<uint8_t> window_;
    // Unfiltering for the hash: the row being filled (filter byte first), the one before it.
    PixelHash* pixels_ = nullptr;
    std::unique_ptr<PngPixelHasher> hasher_;
    size_t pixel_bytes_ = 1;
    std::vector<uint8_t> row_;
    std::vector<uint8_t> prev_;
    size_t filled_ = 0;
};

// Receives the bytes of a PNG as they are produced; false stops the encoder.
using PngSink = std::function<bool(const uint8_t* data, size_t size)>;

// The PNG signature and the chunks before the image data (IHDR, PLTE, tRNS).
void PngHeaderBytes(const PngFormat& format, std::vector<uint8_t>& out);

// One chunk (length, type, data, CRC) appended to `out`.
void PngChunkBytes(const char type[4], const uint8_t* data, size_t size, std::vector<uint8_t>& out);

// Pixels per metre (a pHYs chunk's unit) for `ppi` pixels per inch, rounded;
// 0 when there is no such resolution.
uint32_t PngPixelsPerMetre(double ppi);

// Passes the bytes of a PNG on to `sink` with a pHYs chunk of `x` by `y`
// pixels per metre after its IHDR chunk (where any PNG may have it), so
// that a viewer shows the picture at its size on the page. Bytes that do
// not start with a PNG header pass unchanged.
class PngPhysInserter {
public:
    PngPhysInserter(uint32_t x, uint32_t y, PngSink sink);
    bool operator()(const uint8_t* data, size_t size);
    // After the last bytes: sends what is still held (a file too short to be a PNG).
    bool Finish();

private:
    std::vector<uint8_t> chunk_;  // the pHYs chunk, until it is sent
    std::vector<uint8_t> head_;   // the signature and IHDR, until they are complete
    PngSink sink_;
    bool done_ = false;
};

// Encodes a PNG row by row into a sink, so that neither the image nor its
// compressed data is ever held whole: the header first, then an IDAT chunk
// each time zlib has produced a block, IEND at Finish. Used for large images,
// where zlib's streaming beats holding everything for a one-shot deflate.
// `pixels`, when not null, receives the hash of EncodePng at a successful
// Finish (it must outlive the encoder's last call).
class PngStreamEncoder {
public:
    PngStreamEncoder(const PngFormat& format, int level, PngSink sink, PixelHash* pixels = nullptr);
    ~PngStreamEncoder();
    PngStreamEncoder(const PngStreamEncoder&) = delete;
    PngStreamEncoder& operator=(const PngStreamEncoder&) = delete;

    // `count` rows of PngRowBytes bytes, `stride` apart. False on a sink or
    // zlib failure, or when more rows arrive than the format has.
    bool AddRows(const uint8_t* rows, size_t stride, size_t count);
    // Ends the data (all rows must have been given) and writes IEND.
    bool Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kestran::pdf

#endif
