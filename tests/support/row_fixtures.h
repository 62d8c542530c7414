// Image data for the row-by-row tests: CCITT Group 4 pages of any size
// (encoded by libtiff one row at a time, so a 35000 x 35000 page never exists
// whole), LZW and RunLength encoders, and a bilevel page whose rows are
// computed on demand, so tests can check any row of a huge output.
#ifndef KESTRAN_TESTS_ROW_FIXTURES_H
#define KESTRAN_TESTS_ROW_FIXTURES_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fixtures {

// Fills `black` (packed, 8 pixels a byte, most significant bit first, 1 =
// black) with row `y` of a page.
using BilevelRow = std::function<void(int y, std::vector<uint8_t>& black)>;

// A page of text-like content: a black frame, ruled lines, runs of short
// marks and a diagonal, all derived from (x, y) so any row can be recomputed.
void TestPageRow(int width, int height, int y, std::vector<uint8_t>& black);

// CCITT Group 4 data of a width x height page (what a /CCITTFaxDecode stream
// with /K -1 holds; black runs are the 1 bits of `row`). Empty on failure.
std::string EncodeG4(int width, int height, const BilevelRow& row);

// A /LZWDecode stream (/EarlyChange 1) of `data`, nine-bit literal codes.
std::string EncodeLzw(const std::string& data);

// A /RunLengthDecode stream of `data`: repeated bytes as runs, the rest literal.
std::string EncodeRunLength(const std::string& data);

// Reads a PNG file's rows one at a time (filters undone, samples packed as
// stored), so tests can look at rows of an image too large to decode whole.
class PngRowReader {
public:
    explicit PngRowReader(const std::string& path);
    ~PngRowReader();
    PngRowReader(const PngRowReader&) = delete;
    PngRowReader& operator=(const PngRowReader&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    int bit_depth() const { return bit_depth_; }
    int color_type() const { return color_type_; }
    const std::vector<uint8_t>& palette() const { return palette_; }       // PLTE
    const std::vector<uint8_t>& transparency() const { return trns_; }     // tRNS
    // The next row (index `row_index()` - 1); false at the end or on damage.
    bool NextRow(std::vector<uint8_t>& row);
    uint32_t row_index() const { return next_row_; }

private:
    bool Fail(const std::string& why);
    bool ReadChunk(std::string& type, std::string& data);

    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file_;
    bool ok_ = false;
    std::string error_;
    uint32_t width_ = 0, height_ = 0;
    int bit_depth_ = 0, color_type_ = 0;
    size_t row_bytes_ = 0, bpp_ = 1;
    std::vector<uint8_t> palette_, trns_;
    std::vector<uint8_t> previous_;
    uint32_t next_row_ = 0;
    struct Inflater;
    std::unique_ptr<Inflater> inflater_;
};

// Peak resident memory of a child process that runs `work` and exits, in
// KiB; -1 when it could not be measured. `work`'s return value becomes the
// child's exit status, given back in `status`.
long PeakRssOfChild(const std::function<int()>& work, int* status);

}  // namespace fixtures

#endif
