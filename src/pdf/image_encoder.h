// Turns one image drawn by a page into the bytes of one image file.
//
// Formats, chosen for fidelity:
//  - A JPEG whose bytes alone show it as the page does is kept byte for byte
//    (.jpg): gray or RGB with the default /Decode, default ColorTransform, no
//    mask; CMYK only with an Adobe APP14 marker and an inverting /Decode
//    [1 0 1 0 1 0 1 0], or without APP14 and with the default /Decode (viewers
//    read Adobe CMYK JPEGs as inverted, plain ones as they are).
//  - A JPEG 2000 likewise (.jp2 for a JP2 file, .j2k for a bare codestream),
//    when the PDF adds no /Decode, mask or colour space of its own and the
//    file holds no alpha channel that the page would ignore.
//  - An image whose colours are printing inks (DeviceCMYK, ICCBased CMYK,
//    Indexed over CMYK, Separation or DeviceN with a CMYK alternate) becomes a
//    CMYK TIFF (.tif): the samples as the page uses them (/Decode applied,
//    palette looked up, tint transform run), 16 bits kept, any mask as an
//    unassociated alpha sample, the ICC profile embedded when the file gives
//    one (the image's own, or the page's /DefaultCMYK for DeviceCMYK).
//  - A Lab image is converted to sRGB with lcms2 (PNG with an sRGB chunk).
//  - Everything else becomes a lossless PNG: bit depth kept (1 to 16), Indexed
//    as a palette, gray as gray, Separation and DeviceN into gray or RGB and
//    inline Lab converted to RGB, /Decode applied, any mask (soft mask,
//    stencil /Mask, colour key) as the alpha channel: a mask finer than its
//    image at its own resolution, the image's samples repeated onto its grid
//    (mask_grid.h), any other drawn at the image's size; the ICC profile of a
//    gray or RGB image (its own or the page's default) embedded as iCCP,
//    with or without alpha. A stencil mask image is a 1-bit two-entry
//    palette: its paint colour, and a transparent entry.
//  - A Flate image whose stream already holds PNG rows (Predictor 10 to 15,
//    Columns = width, 1 or 3 colours, no /Decode, no mask) is stored as the
//    PNG's data as it is, after checking that it inflates to exactly the rows.
//  - Either is copied only when its bytes decode whole (copy_rule.h); damaged
//    data is decoded as MuPDF shows it, written as PNG and reported as
//    incomplete (kShortDataWarning), or skipped when nothing decodes.
//  - 1-bit images, stencils, and gray, RGB, Indexed, CMYK, Separation or
//    DeviceN samples under CCITT, Flate, LZW, RunLength or no compression are
//    decoded and written a block of rows at a time when large, a soft or
//    stencil mask of the same size read beside them, in memory that does not
//    grow with the image (see RowsLayoutSupported in large_image.h). Other
//    images are decoded whole: one whose decoded size would exceed
//    kMaxWholeDecodeBytes is copied raw when it is a JPEG or JPEG 2000 that
//    decodes whole, otherwise skipped.
#ifndef KESTRAN_PDF_IMAGE_ENCODER_H
#define KESTRAN_PDF_IMAGE_ENCODER_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pdf/colour_profile.h"
#include "pdf/copy_rule.h"
#include "pdf/image_plan.h"
#include "pdf/jpx_decode.h"
#include "pdf/large_image.h"
#include "pdf/mu_context.h"
#include "pdf/output_choice.h"
#include "pdf/output_file.h"
#include "pdf/pixel_hash.h"

namespace kestran::pdf {

// One image as the page draws it.
struct DrawnImage {
    ImageHandle image;
    bool stencil = false;      // drawn as a stencil mask in `paint`
    uint8_t paint[3] = {0, 0, 0};
    int object_num = 0;        // the image XObject when known (needed for JPEG 2000)
    StandIn standin;           // set when `image` stands in for a large stored image
    ImageColours colours;      // what the file says its colours mean
    // The image XObject the page names (also when `object_num` is 0), 0 for
    // an inline image; for the image's record only.
    int xobject = 0;
    Placement placement;       // where the page first draws it
};

// The bytes of the file: `bytes`, then the body, then `tail`. The body is
// stored data (a JPEG, a PNG's IDAT) written straight from MuPDF's buffer.
// A large image is produced while it is written instead: then `stream` is set
// and the other parts are empty.
struct EncodedImage {
    std::string extension;     // "jpg", "jp2", "j2k", "png" or "tif"
    ByteProducer stream;
    std::vector<uint8_t> bytes;
    BufferHandle body;
    std::vector<uint8_t> tail;
    // What the file shows (pixel_hash.h), when the encoder made its rows or
    // unfiltered stored ones; empty for copied JPEG and JPEG 2000 bytes. A
    // streamed file's is set by `stream` as it ends, hence the shared cell.
    std::shared_ptr<std::optional<PixelHash>> pixels = std::make_shared<std::optional<PixelHash>>();
    // Stored bytes copied, colours converted, or samples written as they are.
    ImageAction action = ImageAction::Written;

    // The pieces in file order, and their total size.
    std::vector<struct ByteSpan> Parts(fz_context* ctx) const;
    size_t Size(fz_context* ctx) const;
};

// OutOfMemory: the process's memory ran out (the file must fail). An image
// refused by its own budget (memory_budget.h) is Skipped.
enum class EncodeStatus { Ok, Skipped, Cancelled, OutOfMemory };

// The warning MuPDF gives, and the encoder too, when an image's data ends
// before its last row and the rest is filled with zeros.
constexpr const char* kShortDataWarning = "padding truncated image";

// Largest decoded image the service decodes whole (images written by rows
// have no limit), and the reason given when one is skipped for it.
constexpr uint64_t kMaxWholeDecodeBytes = uint64_t(1) << 30;
constexpr const char* kTooLargeToDecodeWhole = "too large to decode whole (over 1 GiB decoded)";

class ImageEncoder {
public:
    // Images of at least `stream_bytes` (stored or decoded) are streamed.
    // `type` says what the images become (PlanImage).
    ImageEncoder(fz_context* ctx, pdf_document* doc, int png_level, size_t stream_bytes = kDefaultStandInBytes,
                 OutputType type = OutputType::Original);

    // On Skipped, `why` says what went wrong (for the log on standard error).
    // Without `streaming` the result is always held in memory (the way back
    // when a streamed file had to be abandoned part way).
    EncodeStatus Encode(const DrawnImage& drawn, EncodedImage& out, std::string& why, bool streaming = true);

private:
    bool TryRawJpeg(const DrawnImage& drawn, EncodedImage& out, bool force);
    bool TryRawJpx(const DrawnImage& drawn, EncodedImage& out, bool force);
    bool CopyJpxObject(int num, int gen, bool force, EncodedImage& out);
    // A JPEG 2000 object decoded by openjpeg from its codestream, without
    // MuPDF: a palette file as a palette PNG (MuPDF would expand it to RGB),
    // a one-component file under the PDF's Indexed colour space `indexed`
    // (may be null) as well, and, with `any`, every file MuPDF refused whose
    // codestream is whole (gray or RGB to PNG, CMYK to TIFF).
    bool TryJpxOwnDecode(int num, int gen, fz_colorspace* indexed, EncodedImage& out, bool any);
    // Its decode: the samples (indices under `palette`, RGB entries, when
    // not empty), `memory` holding their budget.
    bool DecodeJpxOwn(int num, int gen, fz_colorspace* indexed, bool any, JpxSamples& decoded,
                      std::vector<uint8_t>& palette, std::unique_ptr<UncountedMemory>& memory);
    // A stand-in whose header MuPDF refuses: its codestream decoded here, then
    // given its /Decode and /SMask as MuPDF would give them and encoded as any
    // decoded image.
    EncodeStatus EncodeJpxRefusedHeader(const DrawnImage& drawn, const JpxHeader& header, EncodedImage& out,
                                        std::string& why, bool streaming);
    // The same for a decoded image drawn under an Indexed colour space.
    bool TryJpxIndexed(const DrawnImage& drawn, EncodedImage& out);
    // A JPEG 2000 stand-in: copied, decoded here (by windows when large), or
    // skipped when the way it takes does not fit its budget. Empty when MuPDF
    // is to decode it whole after all; `whole` then holds its memory.
    std::optional<EncodeStatus> EncodeJpxStandIn(const DrawnImage& drawn, EncodedImage& out, std::string& why,
                                                 bool streaming, std::unique_ptr<UncountedMemory>& whole);
    // Decodes a window of rows (or a row of tiles) at a time into a PNG, or a
    // TIFF for CMYK, the stop checked between windows (jpx_decode.h).
    bool TryJpxWindows(const DrawnImage& drawn, const JpxPlan& plan, EncodedImage& out, bool streaming);
    // True when decoding `header`'s image `way` fits its budget; otherwise
    // notes why in `jpx_refusal_`. `held` keeps the memory while it lives.
    bool JpxFits(const JpxHeader& header, size_t stored, JpxWay way,
                 std::unique_ptr<UncountedMemory>& held);
    // Notes a copy rule verdict; true for Copy.
    bool Accept(enum CopyVerdict verdict);
    bool TryPngPassthrough(fz_image* img, EncodedImage& out);
    // The rows way: samples decoded from the file (a stand-in) or from the
    // compressed buffer, written a block of rows at a time for a stand-in,
    // beyond the whole-decode limit, or when `streaming` and large; held
    // otherwise. `pad_damage` pads rows lost to damaged data as short data is
    // padded (the way back after a streamed file failed). RowsPlanFor says
    // what qualifies.
    bool RowsPlanFor(const DrawnImage& drawn, struct RowsPlan& plan);
    bool MaskRowsPlan(fz_image* img, struct RowsPlan& plan);
    bool TryRows(const DrawnImage& drawn, EncodedImage& out, bool streaming, bool pad_damage = false);
    // 8 or 16-bit gray or RGB samples with a mask of another size (or not
    // read from the file): the mask drawn to size whole, the samples by rows
    // when large and `streaming`.
    bool TryMaskedSamples(fz_image* img, EncodedImage& out, bool streaming);
    bool TryStoredCopy(const DrawnImage& drawn, EncodedImage& out);
    bool EncodeStencil(const DrawnImage& drawn, EncodedImage& out);
    bool TryCmykTiff(const DrawnImage& drawn, EncodedImage& out);
    bool TryLabAsSrgb(const DrawnImage& drawn, EncodedImage& out);
    // `drop_own_alpha`: the decoded pixmap's own alpha (a JPEG 2000 file's
    // alpha channel the page ignores) is left out; the image's mask still
    // applies. With `streaming`, a large image with alpha is written from the
    // pixmap a block of rows at a time instead of through a second copy.
    bool EncodeThroughPixmap(fz_image* img, EncodedImage& out, bool drop_own_alpha = false, bool streaming = false);
    // True for a JPEG 2000 image object whose file's alpha channel the page ignores.
    bool JpxAlphaIgnored(const DrawnImage& drawn);
    // The image's mask drawn at the image's size, one 8-bit alpha per pixel.
    bool RenderMaskAlpha(fz_image* img, std::vector<uint8_t>& alpha);
    bool Finish(const struct PngFormat& format, const uint8_t* rows, size_t stride, EncodedImage& out);
    // Printing inks from `source`: a CMYK TIFF, or sRGB rows of the output
    // type (RowsEncoder). Sets the extension.
    bool WriteCmyk(const TiffFormat& format, const TiffRowSource& source, EncodedImage& out, PixelHash& pixels);
    // The image's rows at its own size written on the grid of its finer mask
    // (mask_grid.h): a PNG of `format`'s colours (streamed when large and
    // `streaming`), or a CMYK TIFF of `format`'s depth.
    bool FinishOnMaskGrid(fz_image* img, const struct PngFormat& format, const struct CoarseRows& coarse,
                          EncodedImage& out, bool streaming);
    bool TiffOnMaskGrid(fz_image* img, const struct TiffFormat& format, const struct CoarseRows& coarse,
                        EncodedImage& out);

    fz_context* ctx_;
    pdf_document* doc_;
    int png_level_;
    size_t stream_bytes_;
    OutputType type_;
    ImagePlan plan_;  // of the image being encoded
    // Set while one image is encoded when the copy rule found its data damaged.
    bool damaged_ = false;
    bool undecodable_ = false;  // not one row of it decodes
    std::string damage_;
    std::vector<uint8_t> icc_profile_;  // of the gray or RGB image being encoded, for its PNG
    // Set while one image is encoded: its budget, and why a JPEG 2000 decode
    // of it did not fit.
    uint64_t jpx_budget_ = 0;
    std::string jpx_refusal_;
};

// Decoded size of an image in bytes (8-bit samples for less than 8 bits, plus alpha).
uint64_t DecodedSize(const fz_image* img);

}  // namespace kestran::pdf

#endif
