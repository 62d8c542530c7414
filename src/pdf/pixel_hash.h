// The identity of a written image by what it shows: its pixels and the
// format they are written in. Two images of one file stored with different
// bytes (another compression, predictor or encoder) but drawing the same
// pixels give one file; the stored-bytes key (image_key.h) cannot see that.
#ifndef KESTRAN_PDF_PIXEL_HASH_H
#define KESTRAN_PDF_PIXEL_HASH_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestran::pdf {

struct PixelHash {
    uint64_t first = 0;
    uint64_t second = 0;
    // Every pixel of the picture has the same value (colour and alpha).
    // Found out by the same pass; not part of the identity.
    bool flat = false;

    bool operator==(const PixelHash& other) const { return first == other.first && second == other.second; }
    bool operator!=(const PixelHash& other) const { return !(*this == other); }
};

struct PixelHashOf {
    size_t operator()(const PixelHash& hash) const { return static_cast<size_t>(hash.first); }
};

// A 128-bit hash of a stream of bytes, made to run beside every encoder: two
// independent 64-bit hashes of xxHash64's construction (four lanes of
// multiply-rotate rounds each, with different constants) over the same data,
// several GB/s where deflate does about 0.1 GB/s. Two different images of
// the same format and size can meet only if both halves collide at once,
// which is out of reach in practice. It is not meant to withstand a file
// built to collide: such a file could at worst hide an image of its own.
//
// The writers feed it the format first (PngFormat, TiffFormat: everything
// that says what the rows mean) and then the rows as the file holds them
// unfiltered and uncompressed, so equal hashes mean equal pictures
// whichever way the rows were made.
class PixelHasher {
public:
    PixelHasher();

    void Add(const uint8_t* data, size_t size);
    // A number, as 8 bytes.
    void AddNumber(uint64_t value);
    // A byte string with its length first, so that consecutive strings
    // cannot run into each other.
    void AddBytes(const std::vector<uint8_t>& bytes);

    PixelHash Finish() const;

private:
    struct Lanes {
        uint64_t v[4];
    };
    void Stripe(const uint8_t* p);

    Lanes a_;
    Lanes b_;
    uint64_t total_ = 0;
    uint8_t buffer_[32];
    size_t buffered_ = 0;
};

// Watches a stream of pixels of `pixel_bytes` bytes each (fed in pieces of
// any size) for one that differs from the first. After the first difference
// it only counts, so it costs nothing on ordinary pictures.
class FlatWatch {
public:
    explicit FlatWatch(size_t pixel_bytes) : first_(pixel_bytes == 0 ? 1 : pixel_bytes) {}

    void Add(const uint8_t* data, size_t size);
    // True when every pixel fed equals the first (also when none was).
    bool Flat() const { return flat_; }
    // Something else tells it the picture is not flat.
    void Differs() { flat_ = false; }

private:
    std::vector<uint8_t> first_;
    std::vector<uint8_t> run_;  // the first pixel repeated, to compare many pixels at once
    size_t filled_ = 0;  // bytes of the first pixel seen so far
    size_t offset_ = 0;  // position in the pixel being compared
    bool flat_ = true;
};

}  // namespace kestran::pdf

#endif
