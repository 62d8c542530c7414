// A small JBIG2 encoder for fixtures (no JBIG2 encoder is packaged for Debian
// 12): the MQ arithmetic coder, generic-region symbol bitmaps (template 0,
// nominal adaptive pixels, no typical prediction) in a symbol dictionary
// segment, and text region segments that place those symbols, all
// arithmetically coded. Output is the embedded form a PDF stores: no file
// header, segments one after the other; the dictionary goes into a
// /JBIG2Globals stream (page association 0), the page information, text
// region and end-of-page segments into the image's own stream.
//
// Typical use:
//   std::vector<jbig2::Bitmap> glyphs = ...;      // heights never decreasing
//   std::string globals = jbig2::EncodeGlobals(glyphs);
//   std::string page = jbig2::EncodePage(glyphs, 300, 100, {{0, 10, 12}, {3, 20, 12}});
//   jbig2::Bitmap expected = jbig2::RenderPage(glyphs, 300, 100, placements);
#ifndef KESTRAN_TESTS_SUPPORT_JBIG2_WRITER_H
#define KESTRAN_TESTS_SUPPORT_JBIG2_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

namespace fixtures::jbig2 {

// One pixel per byte, 1 = black (JBIG2's sense), rows top to bottom.
struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;

    Bitmap() = default;
    Bitmap(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h, 0) {}
    int At(int x, int y) const
    {
        return x < 0 || y < 0 || x >= width || y >= height ? 0 : pixels[static_cast<size_t>(y) * width + x];
    }
    void Set(int x, int y, int v) { pixels[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(v != 0); }
    bool operator==(const Bitmap& o) const { return width == o.width && height == o.height && pixels == o.pixels; }
};

// A symbol drawn with its top-left corner at (x, y) of the page.
struct Placement {
    int symbol = 0;  // index into the dictionary's symbols
    int x = 0;
    int y = 0;
};

// The MQ coder (T.88 Annex E) with the integer and symbol-ID procedures
// built on it (Annex A), exposed for the writer's own checks.
class MqEncoder {
public:
    struct Context {
        uint8_t index = 0;
        uint8_t mps = 0;
    };
    MqEncoder();
    void Encode(Context& cx, int bit);
    // An integer (IAx, 512 contexts) or out-of-band.
    void EncodeInteger(std::vector<Context>& iax, int value);
    void EncodeOob(std::vector<Context>& iax);
    // A symbol ID of `bits` bits (IAID, 2^bits contexts).
    void EncodeId(std::vector<Context>& iaid, int bits, int id);
    // Ends the data (FLUSH, then the 0xFF 0xAC marker) and returns it.
    std::string Finish();

private:
    void EncodeIntegerParts(std::vector<Context>& iax, int sign, uint32_t magnitude);
    void Renormalise();
    void ByteOut();

    uint32_t a_ = 0x8000;
    uint32_t c_ = 0;
    int ct_ = 12;
    std::string out_;  // out_.back() is the byte B of the standard; out_[0] a dummy
};

// The symbol dictionary (segment 0, page association 0) exporting `symbols`
// in the order given, which must be sorted by height (height classes).
// Throws std::invalid_argument otherwise.
std::string EncodeGlobals(const std::vector<Bitmap>& symbols);

// A page of `width` x `height` made of the placed symbols: page information,
// one immediate text region referring to the globals' dictionary, end of page.
std::string EncodePage(const std::vector<Bitmap>& symbols, int width, int height,
                       const std::vector<Placement>& placements);

// What a decoder must make of EncodePage's stream.
Bitmap RenderPage(const std::vector<Bitmap>& symbols, int width, int height,
                  const std::vector<Placement>& placements);

}  // namespace fixtures::jbig2

#endif
