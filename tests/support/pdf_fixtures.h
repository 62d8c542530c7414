// Fixture PDFs for the tests and the benchmark corpus, written by a small PDF
// writer of our own so that every object, stream, /Decode array, mask, inline
// image, form and broken cross-reference is under exact control. Image data
// comes from the real encoders (libjpeg, openjp2, zlib), so a test can check
// that a copied .jpg or .jp2 equals the stream stored in the PDF byte for byte.
//
// Typical use:
//   auto pdf = fixtures::MakeJpegPdf(fixtures::JpegKind::Rgb);
//   fixtures::WriteFile(dir / "photo.pdf", pdf.bytes);
//   ... extract ..., then compare with pdf.images[0].stream.
#ifndef KESTRAN_TESTS_SUPPORT_PDF_FIXTURES_H
#define KESTRAN_TESTS_SUPPORT_PDF_FIXTURES_H

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "support/jbig2_writer.h"

namespace fixtures {

// The RGB buffer RenderPage hands over, freed with free() as its caller must.
struct MallocFree {
    void operator()(unsigned char* p) const { std::free(p); }
};
using RgbBuffer = std::unique_ptr<unsigned char, MallocFree>;

// ---------------------------------------------------------------------------
// Image data and encoders

// Deterministic packed samples, rows padded to whole bytes as PDF stores them.
// `components` 1..4 (or more for DeviceN), `bpc` 1, 2, 4, 8 or 16 (16-bit samples
// big-endian). The pattern mixes gradients and a little noise so that JPEG and
// Flate output is neither trivial nor random; `seed` varies it.
std::string MakeSamples(int width, int height, int components, int bpc, uint32_t seed = 1);

// Photograph-like 8-bit samples (smooth shapes, fine grain) for the benchmark.
std::string MakePhotoSamples(int width, int height, int components, uint32_t seed = 1);
// A 1-bit "scanned text page": white background (bit 1 = white with the default
// /Decode of a DeviceGray image), black lines of text-like blobs.
std::string MakeScanBits(int width, int height, uint32_t seed = 1);

// Baseline JPEG of 8-bit samples with 1 (gray), 3 (RGB) or 4 (CMYK) components.
// `adobe_marker` writes the Adobe APP14 segment (libjpeg writes it by default for
// CMYK; false removes it). Without the marker, CMYK samples are stored as given;
// with it, as given too: the caller chooses what the samples mean.
// `progressive` writes several scans instead of one.
std::string EncodeJpeg(int width, int height, int components, const std::string& samples,
                       bool adobe_marker = false, int quality = 90, bool progressive = false);

// JPEG 2000 in the JP2 container (what PDF embeds for /JPXDecode) of 8-bit
// samples with 1 (gray) or 3 (RGB) components, or 2 or 4 where the last is an
// alpha channel. Lossless unless `compression_ratio` > 0, which makes it lossy
// (9/7 wavelet) at about that ratio, as photographs are usually stored.
// `last_is_alpha` false: 4 components are CMYK inks, 2 are two gray ones.
std::string EncodeJp2(int width, int height, int components, const std::string& samples,
                      float compression_ratio = 0, bool last_is_alpha = true);

// JPEG 2000 of `components` (1 gray, 3 RGB, 4 CMYK inks) samples of
// `precision` bits (signed ones centred on 0), as a JP2 file or a bare
// codestream, in square tiles of `tile` pixels when not 0. The samples are a
// smooth pattern, so that large images encode and decode quickly.
struct Jp2Layout {
    int components = 3;
    int precision = 8;
    bool is_signed = false;
    int tile = 0;
    bool codestream = false;
    float compression_ratio = 0;  // lossless when 0
    bool flat = false;            // every sample 0: a huge image encodes in no time
};
std::string EncodeJp2Layout(int width, int height, const Jp2Layout& layout, uint32_t seed = 1);

// The JPEG 2000 file with its SIZ marker segment (and JP2 image header)
// declaring `width` x `height` in one tile, its data left as it was: a damaged or huge size.
std::string WithJp2DeclaredSize(const std::string& jp2, uint32_t width, uint32_t height);

// A page drawing a JPEG 2000 image (`dict`: its size, colour space and any
// other entries) beside a small JPEG, which is written whatever becomes of
// the first.
std::string MakeJpxBesideJpegPdf(const std::string& jp2, const std::string& dict);

// zlib stream (the bytes of a /FlateDecode stream).
std::string Deflate(const std::string& data, int level = 6);
std::string Inflate(const std::string& data);  // throws std::runtime_error when damaged

// Applies PNG row filters (predictor 10 to 15 layout: one filter byte per row,
// then the row). `filter` 0..4 for all rows, -1 to cycle 0..4 row by row, or -2
// to choose per row the filter with the smallest sum of absolute values, as PNG
// encoders do.
std::string PngPredict(const std::string& samples, int width, int height, int components, int bpc,
                       int filter = -1);

// ---------------------------------------------------------------------------
// PDF writer

// Writes objects exactly as given. Object bodies are PDF source text; streams
// get /Length added. Pages are kept in one flat page tree.
class PdfWriter {
public:
    PdfWriter();

    // Reserves an object number to fill later with SetObject/SetStream, for
    // objects that refer to each other (forms drawing themselves, masks).
    int Reserve();
    // Adds an object; `body` is its value, e.g. "<< /Type /Foo >>" or "[1 2 3]".
    int AddObject(const std::string& body);
    void SetObject(int num, const std::string& body);
    // Adds a stream; `dict_entries` are the dictionary entries without << >> and
    // without /Length, e.g. "/Type /XObject /Subtype /Image ...".
    int AddStream(const std::string& dict_entries, const std::string& data);
    void SetStream(int num, const std::string& dict_entries, const std::string& data);

    // Adds a page drawing `content` (stored uncompressed) with the resource
    // dictionary `resources` (PDF text, "<< ... >>"). `extra` adds entries to the
    // page dictionary (e.g. "/Annots [12 0 R]"). Returns the page object number.
    int AddPage(const std::string& resources, const std::string& content, double width = 612,
                double height = 792, const std::string& extra = std::string());
    // The same with the page's /Contents already added (a compressed stream, an array...).
    int AddPageWithContents(const std::string& resources, int contents, double width = 612, double height = 792,
                            const std::string& extra = std::string());

    // Writes object `num` after all others (e.g. so that a cut falls inside it).
    void MoveToEnd(int num);

    // Replaces the generated page tree root (for damaged trees); its number is PageTree().
    void SetPageTreeBody(const std::string& body) { page_tree_body_ = body; }
    int PageTree() const { return page_tree_; }

    // Extra trailer entries (e.g. "/Info 9 0 R").
    void SetTrailerExtra(const std::string& entries) { trailer_extra_ = entries; }

    // The complete file: header, objects in number order, xref table, trailer.
    std::string Build() const;
    // Offset of "N 0 obj" in the last Build() output layout (computed again).
    size_t ObjectOffset(int num) const;

    int PageCount() const { return static_cast<int>(pages_.size()); }

private:
    struct Object {
        bool set = false;
        std::string text;  // "<<...>>" or "<<...>>\nstream\n...\nendstream"
    };
    std::string Layout(std::vector<size_t>* offsets) const;

    std::vector<Object> objects_;  // index = number - 1
    std::vector<int> pages_;
    int catalog_ = 0;
    int page_tree_ = 0;
    std::vector<int> move_to_end_;
    std::string page_tree_body_;
    std::string trailer_extra_;
};

// Resource dictionary text: "<< /XObject << /Im1 5 0 R ... >> >>".
std::string XObjectResources(const std::map<std::string, int>& xobjects,
                             const std::string& extra = std::string());
// "q w 0 0 h x y cm /name Do Q\n"
std::string DrawXObject(const std::string& name, double x, double y, double w, double h);
std::string Ref(int num);  // "N 0 R"

// ---------------------------------------------------------------------------
// Images ready to embed

// An image XObject: its dictionary entries (without /Length) and its stream
// bytes exactly as they are stored in the PDF.
struct ImageObject {
    std::string dict;
    std::string stream;
    int width = 0;
    int height = 0;
};

enum class JpegKind {
    Gray,
    Rgb,
    CmykAdobe,               // APP14 marker, default /Decode
    CmykAdobeInverted,       // APP14 marker, /Decode [1 0 1 0 1 0 1 0]
    CmykPlain,               // no APP14 marker, default /Decode
    CmykPlainInverted,       // no APP14 marker, /Decode [1 0 1 0 1 0 1 0]
    RgbInverted,             // RGB with /Decode [1 0 1 0 1 0]
    RgbNoTransform,          // ordinary YCbCr JPEG, but /DecodeParms << /ColorTransform 0 >>
};
const char* JpegKindName(JpegKind kind);  // "Gray", "CmykAdobeInverted", ...
ImageObject JpegImage(JpegKind kind, int width, int height, uint32_t seed = 1);
// True when this kind's bytes alone show the image as the page does, so the
// extractor copies it as .jpg; otherwise it must decode it to .png.
bool JpegCopiedAsIs(JpegKind kind);

ImageObject Jp2Image(int width, int height, int components, uint32_t seed = 1);

// Flate image. `colorspace` is PDF text ("/DeviceRGB", "/DeviceGray",
// "[/Indexed /DeviceRGB 15 <...>]", ...); `components` the samples per pixel it
// implies; `predictor` 0 (none) or 15 (PNG rows); `extra` more entries
// (/Decode, /SMask, /Mask...).
ImageObject FlateImage(int width, int height, const std::string& colorspace, int components, int bpc,
                       uint32_t seed = 1, int predictor = 0, const std::string& extra = std::string());
// The same from given samples.
ImageObject FlateImageFromSamples(int width, int height, const std::string& colorspace, int components,
                                  int bpc, const std::string& samples, int predictor = 0,
                                  const std::string& extra = std::string());
// Ways of storing the same samples with other bytes. Lzw writes literal codes
// only (a clear code every 250, so codes stay 9 bits), RunLength literal
// runs only: valid streams, simple to write. TiffPredictor is Flate with
// /Predictor 2 (8 or 16 bits per component only); PngPredictors cycles the
// five PNG filters row by row.
enum class Storage { Flate, FlateFast, PngPredictors, TiffPredictor, Lzw, RunLength, AsciiHex, Uncompressed };
const char* StorageName(Storage storage);
ImageObject StoredImage(int width, int height, const std::string& colorspace, int components, int bpc,
                        const std::string& samples, Storage storage, const std::string& extra = std::string());
// An 8-bit gray soft mask (/SMask target) with a radial alpha pattern.
ImageObject SoftMaskImage(int width, int height, uint32_t seed = 1);
// A 1-bit /ImageMask image (stencil): a ring pattern.
ImageObject StencilImage(int width, int height, uint32_t seed = 1);
// "[/Indexed /DeviceRGB hival <palette hex>]" with a deterministic palette.
std::string IndexedColorspace(int entries);

// ---------------------------------------------------------------------------
// Fixture documents

// What a correct extraction of a fixture writes, in output order.
struct ExpectedImage {
    int page = 0;           // 1-based page of the first placement
    std::string ext;        // "jpg", "jp2" or "png"
    int width = 0;          // pixel size of the written image
    int height = 0;
    int object = 0;         // object number of the image XObject, 0 for an inline image
    std::string stream;     // embedded stream bytes (decrypted, still encoded); for an
                            // inline image its decoded samples
    std::string what;       // short description for failure messages
};

struct FixturePdf {
    std::string bytes;
    std::vector<ExpectedImage> images;
    int pages = 0;
};

// One page per fixture unless said otherwise.
FixturePdf MakeJpegPdf(JpegKind kind, int width = 64, int height = 48);
FixturePdf MakeJp2Pdf(int components = 3, int width = 40, int height = 30);

enum class FlateKind {
    Rgb,             // 8-bit RGB
    Rgb16,           // 16-bit RGB
    Gray1,           // 1-bit gray
    Gray2,           // 2-bit gray
    Gray4,           // 4-bit gray
    Gray8,
    Gray16,
    GrayInverted,    // 8-bit gray with /Decode [1 0]
    Indexed8,        // 8-bit index into 200 RGB entries
    Indexed4,        // 4-bit index into 16 RGB entries
    Cmyk,            // 8-bit DeviceCMYK
    Lab,             // 8-bit Lab
    Separation,      // 8-bit Separation with a CMYK alternate
    DeviceN,         // 2 inks, CMYK alternate
    RgbPredictor,    // 8-bit RGB, PNG predictors (Columns = Width)
    GrayPredictor,   // 8-bit gray, PNG predictors
    ColorKey,        // 8-bit RGB with a /Mask [min max ...] colour key
    Indexed2,        // 2-bit index into 4 RGB entries
    Gray16Inverted,  // 16-bit gray with /Decode [1 0]
    IccRgb,          // 8-bit [/ICCBased <<N 3>>] (profile bytes not a real profile)
    IccGray,         // 8-bit [/ICCBased <<N 1>>]
};
const char* FlateKindName(FlateKind kind);
FlateKind AllFlateKinds(int i, bool* valid);  // for table-driven tests: i = 0.. until !valid
FixturePdf MakeFlatePdf(FlateKind kind, int width = 33, int height = 21);

// Readable parameter values in GoogleTest output and CTest names.
inline void PrintTo(JpegKind kind, std::ostream* os) { *os << JpegKindName(kind); }
inline void PrintTo(FlateKind kind, std::ostream* os) { *os << FlateKindName(kind); }

// RGB image with an 8-bit soft mask at the image's size (`half_size_mask`
// false) or at half its width and height.
FixturePdf MakeSoftMaskPdf(bool half_size_mask);
// A stencil (/ImageMask) painted in red, and an RGB image with a stencil /Mask.
FixturePdf MakeStencilPdf();
// An image drawn through a mask finer than itself, written on the mask's grid.
enum class FineMask {
    Soft,       // 8-bit RGB under an 8-bit soft mask
    Stencil,    // 8-bit RGB under a stencil /Mask
    Gray16,     // 16-bit gray under a soft mask
    Cmyk,       // 8-bit DeviceCMYK under a soft mask (a TIFF)
    IccRgb,     // [/ICCBased] RGB (a real sRGB profile) under a soft mask
    Indexed,    // 4-bit Indexed under a stencil /Mask
    JpegSoft,   // 8-bit RGB under a gray JPEG soft mask
};
const char* FineMaskName(FineMask kind);
inline void PrintTo(FineMask kind, std::ostream* os) { *os << FineMaskName(kind); }
// A w x h image of distinct colours under a mw x mh mask of `kind`.
FixturePdf MakeFineMaskPdf(FineMask kind, int w, int h, int mw, int mh);
// Four images on one page sharing one 2 x 2 image stream, each under its own
// 400 x 300 soft mask.
FixturePdf MakeFourMasksPdf();
// Damaged images on one page: a JPEG whose data after its header is garbage
// from an invalid marker on and an empty Flate stream (neither decodes a
// row: skipped), a Flate stream cut halfway (incomplete), and a whole flat
// image (written). `images` lists the two written.
FixturePdf MakeNoImageDataPdf();
// An inline image (BI/ID/EI), drawn twice with identical content, and an image XObject.
FixturePdf MakeInlineImagePdf();
// How MakeBrokenInlineImagesPdf damages an inline image.
enum class InlineDamage {
    ZeroWidth,       // /W 0
    NoHeight,        // /H left out
    UnknownFilter,   // a filter no reader knows
    BadColourSpace,  // a colour space name the resources do not define
    TooShortData,    // a third of the data the dictionary asks for (the filter's end comes early)
};
const char* InlineDamageName(InlineDamage damage);
inline void PrintTo(InlineDamage damage, std::ostream* os) { *os << InlineDamageName(damage); }
// Where MakeBrokenInlineImagesPdf puts the inline images.
enum class InlinePlacement {
    Page,           // one content stream
    ContentsArray,  // the page's content cut into three streams, each cut inside an image
    Form,           // drawn by a form XObject
    EncryptedPage,  // Page, in a file encrypted with AES-128 (empty user password)
    EncryptedForm,  // Form, the same
};
// A page of `count` different small inline images (8x6 RGB, ASCIIHex), those
// at the 0-based positions in `damaged` broken as given; the expected images
// are the others, in content order.
FixturePdf MakeBrokenInlineImagesPdf(int count, const std::map<int, InlineDamage>& damaged,
                                     InlinePlacement placement = InlinePlacement::Page);

// Forms nested three deep, the innermost drawing an image; plus a form that
// draws itself and one pair of forms drawing each other, each with an image.
FixturePdf MakeFormsPdf();
// `pages` pages, each drawing the same logo object first and then its own photo.
FixturePdf MakeLogoPdf(int pages = 4);
// Two CMYK JPEG objects with byte-identical streams, one with an inverting
// /Decode; two RGB objects sharing a stream with different soft masks; and two
// separate objects with identical dictionaries and streams (merged into one).
FixturePdf MakeDedupePdf();
// Images that show the same pixels stored with other bytes (another
// compression or predictor, junk in the bits after a 1-bit row's last
// pixel), on one page and across pages, each written once; beside them
// lookalikes that are kept: the same samples under another soft mask,
// palette or ICC profile, or in another shape. `images` lists the first of
// each picture.
FixturePdf MakePixelTwinsPdf();
// Where pages draw their images: page 1 an RGB 40 x 20 image scaled to 80 x 20
// points at (100, 200), drawn a second time elsewhere; page 2 a gray 40 x 20
// one turned a quarter (matrix [0 40 -10 0 300 100]); page 3 an RGB 40 x 20
// one turned 30 degrees at 72 ppi both ways (origin 200, 300); page 4 a CMYK
// 30 x 30 one on 15 x 30 points (a TIFF); page 5 page 1's image again at
// 40 x 40 points at the origin.
FixturePdf MakePlacementsPdf();
// Page 1: an RGB JPEG 32 x 24 (copied), an RGB Flate 20 x 20 (written), a gray
// 4 x 4 (small), a 1-bit 16 x 16 of zeros and a white RGB JPEG 16 x 16 (both
// flat). Page 2 draws the Flate, the small and the 1-bit image again.
FixturePdf MakeManifestActionsPdf();
// An image in a tiling pattern, in an annotation appearance and in a soft-mask group.
FixturePdf MakeIndirectPlacementsPdf();
// `pages` pages, page i drawing one distinct small Flate image (i-th colour).
FixturePdf MakeMultiPagePdf(int pages = 12);
// Pages with vector drawing only.
FixturePdf MakeNoImagePdf(int pages = 2);
// A book typeset the way TeX writes one: `pages` pages of compressed text that
// share one resource dictionary (fonts only), link annotations without
// appearances, and three images on pages a quarter, half and three quarters
// through, each of those pages with resources of its own.
FixturePdf MakeTextBookPdf(int pages = 1000);
// Small files whose images are reachable only in one unusual way (an
// annotation state, a pattern, a soft-mask group, a Type 3 glyph, an inline
// image in a form or on a page whose resources hold no image, "BI" in strings,
// names and comments, cycles of forms, missing patterns and graphics states),
// named by what they show. `images` is what a run finds.
std::vector<std::pair<std::string, FixturePdf>> MakeHiddenImagePdfs();
// Many images on one page, enough for a cancel test to catch the job mid-way.
FixturePdf MakeManyImagesPdf(int count = 60, int size = 64);
// An image that declares absurd dimensions (far above 1 GiB decoded) with a tiny
// stream, next to a normal image that must still be extracted.
FixturePdf MakeAbsurdSizePdf();
// A complete multi-image file cut inside the stream of its last image: no xref,
// no trailer. `images` lists what precedes the cut.
FixturePdf MakeTruncatedPdf();
// A file whose xref offsets all point to the wrong places (needs repair).
FixturePdf MakeBrokenXrefPdf();
// A file that opens without repair, but whose page content is found only by
// a repair, which also corrects the wrong /Length of the page's large JPEG
// (its streams start after a CR alone, as some producers write them): a
// reader that opens the file again knows less than the one that ran the page.
FixturePdf MakeLateRepairPdf();
// Small files that attack the reader: a page tree containing itself, an absurd
// page count, broken image dictionaries, an image that is its own soft mask,
// deep nesting, missing objects. Each must end cleanly, whatever it yields.
std::vector<std::pair<std::string, std::string>> MakeHostilePdfs();
// Pages that keep a renderer busy far longer than anyone waits for a preview,
// each painting itself entirely in `rgb` (PDF text, "1 0 0") before the work
// that never ends, and only repainting that colour afterwards: one content
// stream of 170 MB of fills, forms that each draw the next ten times, nine
// levels deep, and a content array naming one stream 50,000 times (MuPDF
// opens them all before it draws). Files under half a megabyte.
std::vector<std::pair<std::string, std::string>> MakeEndlessPagePdfs(const std::string& rgb = "1 0 0");
// Images whose data cannot be decoded (damaged Flate, damaged CMYK JPEG that
// must be converted) before and after one good image, which is what `images` lists.
FixturePdf MakeUndecodablePdf();
// Encrypted with AES-128 through MuPDF. With an empty `user_password` the file
// opens without a password (owner password only) and its images are expected.
FixturePdf MakeEncryptedPdf(const std::string& user_password);
// A scanner's layout for text pages (MRC): `pages` pages, each a gray JPEG
// background (when `backgrounds`) under a JBIG2 text-region stencil painted
// black, every stencil's /JBIG2Globals naming one symbol dictionary stream.
// `stencils` holds what each page's stencil decodes to (1 = painted).
struct Jbig2ScanPdf : FixturePdf {
    std::vector<jbig2::Bitmap> stencils;
    std::vector<int> stencil_objects;
};
Jbig2ScanPdf MakeSharedJbig2GlobalsPdf(int pages = 48, bool backgrounds = true);

// ---------------------------------------------------------------------------
// Files

void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& path);  // throws when unreadable
std::string Md5Hex(const std::string& bytes);

// A fresh empty folder below the system temporary folder, removed by the
// destructor (contents included).
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kestran-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Regular files directly in `dir`, names only, sorted.
std::vector<std::string> ListFiles(const std::filesystem::path& dir);

// ---------------------------------------------------------------------------
// Reading images back

// A decoded PNG, as stored (no conversion) plus an 8-bit RGBA view.
struct PngImage {
    int width = 0;
    int height = 0;
    int bit_depth = 0;   // as stored: 1, 2, 4, 8, 16
    int color_type = 0;  // PNG_COLOR_TYPE_* as stored
    bool has_trns = false;
    int palette_size = 0;
    std::vector<uint8_t> rgba;  // width * height * 4, 8-bit, alpha 255 where opaque
    std::vector<uint16_t> samples16;  // when bit_depth == 16: raw samples, channels as stored
};
// Decodes with libpng; false (and `error`) when the data is not a valid PNG.
bool DecodePng(const std::string& bytes, PngImage* out, std::string* error = nullptr);

// A decoded CMYK TIFF, as stored, plus an 8-bit RGBA view made with the plain
// CMYK-to-RGB formula MuPDF uses without colour management (so it can be
// compared with DrawImageWithMupdf).
struct TiffImage {
    int width = 0;
    int height = 0;
    int bits = 0;                    // per sample
    int samples_per_pixel = 0;
    int photometric = -1;            // PHOTOMETRIC_*
    int inkset = -1;                 // INKSET_*
    int compression = -1;            // COMPRESSION_*
    int predictor = -1;              // PREDICTOR_*
    bool unassociated_alpha = false; // one extra sample, EXTRASAMPLE_UNASSALPHA
    std::string icc_profile;         // TIFFTAG_ICCPROFILE, empty when absent
    float x_resolution = 0;          // TIFFTAG_XRESOLUTION, 0 when absent
    float y_resolution = 0;
    int resolution_unit = -1;        // RESUNIT_*, when the tag is there
    std::vector<uint16_t> samples;   // every sample, pixel by pixel, widened to 16 bits' storage
    std::vector<uint8_t> rgba;       // width * height * 4 (from 8-bit samples only)
};
// Decodes with libtiff; false (and `error`) when the data is not a readable TIFF.
bool DecodeTiff(const std::string& bytes, TiffImage* out, std::string* error = nullptr);

// The ICC profile of a PNG's iCCP chunk, inflated; empty when there is none.
std::string PngIccProfile(const std::string& png_bytes);
// True when the PNG has an sRGB chunk.
bool PngHasSrgbChunk(const std::string& png_bytes);

// ICC profiles made with lcms2 in memory: sRGB, a gray profile (gamma 2.2)
// and a small CMYK output profile (a simple ink model), each distinct by its
// description so that a test can tell them apart.
std::string MakeSrgbProfile();
std::string MakeGrayProfile();
std::string MakeCmykProfile(const std::string& description = "Kestran test CMYK");

// What MuPDF draws for image object `object` of the PDF in `pdf_bytes` (opened
// with `password` when encrypted): RGBA, 8-bit, not premultiplied, at the
// image's own size, mask applied (a mask of another size is scaled to it), a
// stencil in `stencil_rgb` on transparent. Empty when it cannot be drawn.
std::vector<uint8_t> DrawImageWithMupdf(const std::string& pdf_bytes, int object, int* width,
                                        int* height, const std::string& password = std::string(),
                                        uint32_t stencil_rgb = 0xff0000);

// Largest per-channel difference between two RGBA buffers, ignoring the colour of
// pixels that are (nearly) transparent in both.
int MaxRgbaDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// ---------------------------------------------------------------------------
// Running the PDF service

// "<stem>-<page>-<index>.<ext>", the numbers zero-padded to the digits given,
// plus " (n)" before the extension for copy n >= 2.
std::string ImageName(const std::string& stem, int page, int index, const std::string& ext, int copy = 1,
                      int page_digits = 3, int index_digits = 2);
// The names a correct extraction of `pdf` writes for source stem `stem`,
// sorted; `pages` empty = every page, else only images first drawn on them.
std::vector<std::string> ExpectedNames(const FixturePdf& pdf, const std::string& stem,
                                       const std::set<int>& pages = {});

struct ExtractRun {
    int result = -1;
    std::vector<std::pair<int, int>> progress;  // (done, total) of every call
};
// Called from the progress function; its return value is handed back to the
// service (-2 asks it to abandon the file).
using ProgressHook = std::function<int(int done, int total)>;
// Creates a PDF service (as each job does), runs ExtractImages once and frees it.
ExtractRun RunExtract(const std::string& source, const std::string& range, const std::string& output_dir,
                      const ProgressHook& hook = ProgressHook());

// Files in `dir` that are not final image names ("<stem>-NNN-NN[ (n)].ext"):
// temporary or partial files an extraction must never leave behind.
std::vector<std::string> StrayFiles(const std::filesystem::path& dir);

}  // namespace fixtures

#endif
