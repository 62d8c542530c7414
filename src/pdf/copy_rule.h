// The copy rule: when an image's stored bytes are written out as they are
// (.jpg, .jp2, .j2k) instead of being decoded.
//
// A copy must look as the page does (see image_encoder.h for the rules on
// colour spaces, /Decode, masks and the Adobe marker) and it must decode: a
// copied file that viewers refuse, or that ends part way, would be a lost
// image reported as a success. So the bytes are decoded before they are
// copied, cheaply:
//  - JPEG with libjpeg at 1/8 scale: every Huffman-coded block (every scan of
//    a progressive file) is still read, but the inverse DCT shrinks to one
//    value per block. A fatal error, a premature end and the warnings libjpeg
//    gives for corrupt entropy data all refuse the copy. A progressive file
//    makes libjpeg hold every coefficient (2 bytes a sample); when that would
//    pass kJpegCheckMemory, its markers and scan data are walked instead
//    (JpegStructureWhole), which finds cuts, damaged markers and data that is
//    not JPEG, in a few KiB.
//  - JPEG 2000 with openjpeg at its lowest resolution: the boxes, markers and
//    every packet header are still parsed (that is how truncation shows), the
//    code blocks of the finer resolutions are skipped.
// The held path (data in memory) and the streamed path (large stored streams
// read from the file in blocks) both call the functions below.
#ifndef KESTRAN_PDF_COPY_RULE_H
#define KESTRAN_PDF_COPY_RULE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <mupdf/fitz.h>
#include <mupdf/pdf.h>
}

namespace kestran::pdf {

// Hands out a stream's bytes in order, one block per call: true with the next
// block (size 0 at the end of the data), false when the data cannot be read.
// The block stays valid until the next call.
using BlockSource = std::function<bool(const uint8_t*& data, size_t& size)>;

// Opens the bytes afresh, from their start, each time it is called.
using BlockSourceOpener = std::function<BlockSource()>;

// The bytes in [data, data + size) as one block.
BlockSource MemoryBlocks(const uint8_t* data, size_t size);

// What the JPEG check may hold (a progressive file's coefficients).
constexpr size_t kJpegCheckMemory = size_t(64) << 20;

// Why an image whose data ends or fails before its first row is skipped: the
// decoder would produce padding only, a flat rectangle that is no picture.
constexpr const char* kNoImageDataDecoded = "no image data could be decoded";

enum class CopyVerdict {
    Copy,     // the bytes are the image as the page shows it
    Look,     // they decode, but the page shows them otherwise: decode and convert
    Damaged,  // they do not decode whole: decode what MuPDF can (and say it is incomplete)
    Nothing,  // no image in it (no whole header, not the format named): skip
};

// How the page shows a JPEG beyond what its bytes say.
struct JpegLook {
    enum fz_colorspace_type space = FZ_COLORSPACE_NONE;
    int components = 0;            // of the image's colour space
    int bpc = 8;
    bool masked = false;           // soft mask, stencil /Mask or colour key
    bool default_decode = true;    // /Decode absent or [0 1 ...]
    bool inverted_decode = false;  // /Decode [1 0 ...]
    int color_transform = -1;      // /DecodeParms /ColorTransform, -1 when absent
};

// The copy rule for JPEG bytes. `force` (an image too large to decode) drops
// the conditions on the look, never the check that the bytes decode whole.
// `why` receives what was wrong with damaged data.
CopyVerdict JpegCopyVerdict(const JpegLook& look, const BlockSourceOpener& open, bool force, std::string* why = nullptr,
                            size_t max_memory = kJpegCheckMemory);

// How the page shows a JPEG 2000 image: from the image object's dictionary.
struct JpxLook {
    bool stored_as_is = false;  // the stream's one filter is JPXDecode: its bytes are the file
    bool faithful = false;  // no /Decode, mask or alpha use of its own; colour space none, gray, RGB or ICC
    int colors = 0;         // components the PDF's colour space has, 0 when it leaves it to the file
};

// Reads the look from a JPEG 2000 image object (false `faithful` for any
// other object). Never throws.
JpxLook JpxLookOf(fz_context* ctx, pdf_obj* ref);

// What a JPEG 2000 file's header says about its colours: the JP2 boxes read
// without decoding (a bare codestream has none).
struct JpxHeader {
    bool jp2 = false;            // a JP2 file, not a bare codestream
    int components = 0;          // in the codestream (SIZ), 0 when it cannot be found
    int enumerated = -1;         // 'colr' enumerated colour space (12 CMYK, 16 sRGB, 17 gray, 18 sYCC), -1 none
    uint32_t icc_space = 0;      // 'colr' restricted ICC profile: its colour space ('GRAY', 'RGB '), 0 none
    bool palette = false;        // a 'pclr' box: the samples are indices
    bool component_map = false;  // a 'cmap' box
    // A 'cmap' box with no 'pclr' before it: openjpeg, and so MuPDF, refuse
    // the whole file, although its codestream may be intact.
    bool box_order_refused = false;
    size_t codestream = 0;       // offset of the codestream (SOC)
    // The palette, when its entries are 8-bit unsigned: `palette_columns`
    // values per entry, in the order the 'cmap' box gives the channels (the
    // box order inside the header does not matter here, as it does to
    // openjpeg, which refuses a 'cmap' before the 'pclr').
    std::vector<uint8_t> palette_entries;
    int palette_columns = 0;
    bool channel_definition = false;  // a 'cdef' box: alpha channels or channels in another order
    // What the codestream's SIZ marker segment declares, the sizes on the
    // reference grid: all 0 when it cannot be found.
    uint32_t width = 0;   // Xsiz - XOsiz
    uint32_t height = 0;  // Ysiz - YOsiz
    uint32_t tiles_across = 0;
    uint32_t tiles_down = 0;
    uint32_t tile_width = 0;   // XTsiz
    uint32_t tile_height = 0;  // YTsiz
    int max_precision = 0;     // bits of the deepest component
    bool signed_samples = false;
    bool subsampled = false;   // a component on a coarser grid (XRsiz or YRsiz above 1)
    // From the COD marker segment, when it is in the bytes given.
    int levels = -1;           // decomposition levels
    uint32_t block_height = 0; // of the code-blocks
};
// `data` may be the file's first bytes only: the header is read as far as
// they go (the codestream box may run past their end).
JpxHeader ReadJpxHeader(const uint8_t* data, size_t size);

// A JPEG 2000 codestream decoded by openjpeg on its own, without the JP2
// boxes around it: a palette is not applied (the samples stay indices), no
// colour is converted. For files whose header MuPDF refuses and for palettes.
struct JpxSamples {
    int width = 0;
    int height = 0;
    int components = 0;
    std::vector<uint8_t> samples;  // 8-bit, pixel by pixel
};
// False (and `why`) when the codestream does not decode whole, or holds
// components of different sizes.
bool DecodeJpxCodestream(const uint8_t* data, size_t size, const JpxHeader& header, JpxSamples& out,
                         std::string* why);

// True when the header states a gray, RGB or sYCC colour in the components
// the codestream has, with no palette: what every viewer of the copy shows
// alike. A bare codestream states nothing; one of 1 or 3 components is taken
// as gray or RGB, which is how readers treat it (and how MuPDF draws it).
bool JpxColourStated(const JpxHeader& header);

// The copy rule for the bytes of a JPEG 2000 stream; `extension` receives
// "jp2" (JP2 file) or "j2k" (bare codestream) on Copy.
CopyVerdict JpxCopyVerdict(const JpxLook& look, const uint8_t* data, size_t size, bool force, std::string& extension,
                           std::string* why = nullptr);

// The decode checks on their own. `head` (may be null) receives the bytes up
// to the start of the scan, for the marker checks that need them. `why`
// receives libjpeg's or openjpeg's complaint.
struct JpegFacts {
    int components = 0;
    int width = 0;
    int height = 0;
    bool some_rows = false;  // the header was read whole and some scan data decodes
    bool too_large = false;  // the check would hold more than allowed: not decided
    bool leading_space = false;  // white space before the start marker, which MuPDF skips and viewers refuse
};
bool JpegDecodesWhole(const BlockSource& bytes, JpegFacts* facts, std::string* head, std::string* why,
                      size_t max_memory = kJpegCheckMemory);
// Walks the markers, segments and scan data from the start to the end marker
// without decoding: false for a cut, a marker a decoder refuses (0x00 bytes
// of scan data changed in transit show as such), bytes between segments.
bool JpegStructureWhole(const BlockSource& bytes, std::string* why);
// `header` (may be null) tells whether the file's header could be read.
bool JpxDecodesWhole(const uint8_t* data, size_t size, std::string* why, bool* header = nullptr);

// True when a JPEG's bytes carry an Adobe APP14 marker before the scan.
bool JpegHasAdobeMarker(const uint8_t* data, size_t size);

// True when a JPEG's header is complete in `data`: the start of the scan (or
// the end of the image) is reached, so JpegHasAdobeMarker's answer is final.
bool JpegHeaderComplete(const uint8_t* data, size_t size);

// Number of components of a JPEG 2000 file (JP2 boxes or a bare codestream),
// from the codestream's SIZ marker; 0 when it cannot be read.
int JpxComponentCount(const uint8_t* data, size_t size);

}  // namespace kestran::pdf

#endif
