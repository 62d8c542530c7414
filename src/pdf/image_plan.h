// What an image becomes: one decision from what the image is and the output
// type the user chose, and the writers that carry it out.
//
//  kind of image                    | original              | png               | jpeg
//  ---------------------------------+-----------------------+-------------------+--------------------------
//  JPEG, gray/RGB as shown          | .jpg, bytes copied    | .png, decoded     | .jpg copied when without
//                                   |                       |                   | a profile (or an sRGB one)
//  JPEG 2000                        | .jp2/.j2k copied      | .png, decoded     | .jpg, decoded
//  gray, RGB, Indexed (any depth)   | .png, profile as iCCP | .png, sRGB        | .jpg, sRGB
//  CMYK, Separation/DeviceN on CMYK | .tif CMYK + profile   | .png, sRGB        | .jpg, sRGB
//  Lab                              | .png, sRGB            | .png, sRGB        | .jpg, sRGB
//  any of them with a mask or key   | as above, with alpha  | .png with alpha   | .png with alpha
//
// Whether a copy really happens is still the copy rule's (copy_rule.h): a
// stored stream that is damaged, or that would not show what the page shows,
// is decoded instead. The README's table of output types is this one.
#ifndef KESTRAN_PDF_IMAGE_PLAN_H
#define KESTRAN_PDF_IMAGE_PLAN_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pdf/colour_profile.h"
#include "pdf/output_choice.h"
#include "pdf/pixel_hash.h"
#include "pdf/png_writer.h"
#include "pdf/tiff_writer.h"

namespace kestran::pdf {

// What happened to an image's colours on its way to the file: its stored
// bytes copied, its colours converted (to sRGB, or Lab to sRGB), or its
// samples written as they are.
enum class ImageAction : uint8_t { Copied, Converted, Written };

// "copied", "converted" or "written".
const char* ImageActionName(ImageAction action);

// What the decision needs to know of an image, read from the image and its
// colour space before anything is decoded.
struct ImageFacts {
    enum class Stored : uint8_t { Other, Jpeg, Jpx };
    Stored stored = Stored::Other;
    ColourKind colours = ColourKind::Other;  // after a palette or tint transform (ImageColourKind)
    bool indexed = false;
    bool stencil = false;     // an image mask, drawn in one colour
    bool masked = false;      // a soft mask, a stencil /Mask or a colour key
    bool has_profile = false; // the file gives an ICC profile for its colours
    bool srgb_profile = false;// and that profile is sRGB
    int bits = 8;             // bits per component as stored
};

struct ImagePlan {
    enum class Way : uint8_t { CopyJpeg, CopyJpx, CmykTiff, LabSrgb, Png, Jpeg };
    OutputType type = OutputType::Original;
    Way way = Way::Png;           // the first way tried
    // Stored data that may be copied, if the copy rule agrees: a JPEG's
    // bytes, a JPEG 2000 file, Flate data that already holds PNG rows
    // (.png), a Flate CMYK stream as a TIFF strip.
    bool copy_jpeg = false;
    bool copy_jpx = false;
    bool copy_png_rows = false;
    bool copy_cmyk_strip = false;
    // How samples are read when nothing is copied: as MuPDF decodes them, as
    // printing inks (CMYK, for a TIFF or for lcms2), or as Lab with the
    // image's white point. Beyond the whole-decode limit both of the latter
    // fall back to MuPDF's decode in RGB.
    enum class Samples : uint8_t { Decoded, Inks, Lab };
    Samples samples = Samples::Decoded;
    bool to_srgb = false;         // every row goes to the file in sRGB (RowsEncoder)
    std::string extension;        // of the first way ("jp2" also stands for "j2k")
    // What a decoded image's colours go through (a copy is Copied).
    ImageAction decoded_action = ImageAction::Written;
};

// The one decision.
ImagePlan PlanImage(const ImageFacts& facts, OutputType type);

// True when rows of an image with (`alpha`) or without transparency are
// written as JPEG under `type`: JPEG has no transparency, so such an image
// becomes a PNG.
bool WritesJpeg(OutputType type, bool alpha);

// True when `profile` (ICC bytes) describes sRGB: its description says so.
bool IsSrgbProfile(const std::vector<uint8_t>& profile);

// Receives the bytes of a file as they are produced; false stops the writer.
using RowsSink = std::function<bool(const uint8_t* data, size_t size)>;

// Writes rows in the colours the file gives as the output type asks, a block
// of rows at a time. The rows come as a PNG of `format` would hold them
// (gray, RGB or a palette, 1 to 16 bits, alpha after the colours, the
// profile in format.icc_profile), or as CMYK rows of a TIFF of `format`
// (8 or 16 bits in machine order, alpha after the colours).
//  - Original: a PNG exactly as PngStreamEncoder writes it (no TIFF here:
//    printing inks keep EncodeCmykTiff).
//  - Png / Jpeg: converted to sRGB (SrgbTransformFor) and written as PNG with
//    an sRGB chunk (palettes stay palettes, their entries converted; 16 bits
//    stay 16) or as JPEG (8 bits; 4:4:4 for palettes and images of fewer
//    than 8 bits, whose edges are sharp, else 4:2:0). An image with alpha,
//    or a palette with transparent entries, is a PNG under Jpeg too.
// Owned by one thread; the transforms it uses are shared (srgb_transform.h).
class RowsEncoder {
public:
    RowsEncoder(OutputType type, const PngFormat& format, int png_level, RowsSink sink, PixelHash* pixels = nullptr);
    RowsEncoder(OutputType type, const TiffFormat& format, int png_level, RowsSink sink, PixelHash* pixels = nullptr);
    ~RowsEncoder();
    RowsEncoder(const RowsEncoder&) = delete;
    RowsEncoder& operator=(const RowsEncoder&) = delete;

    // `count` rows as described above, `stride` bytes apart.
    bool AddRows(const uint8_t* rows, size_t stride, size_t count);
    bool Finish();
    // Instead of AddRows and Finish, for rows held whole (a PNG of the
    // colours as they are, or small enough to convert at once): the PNG
    // made by EncodePng in one go, handed to the sink in one piece.
    // `should_stop` (may be null) is polled between rows.
    bool EncodeWhole(const uint8_t* rows, size_t stride, bool (*should_stop)(void*) = nullptr);

    // "png" or "jpg".
    const char* Extension() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Largest converted image EncodeWhole holds beside its source rows; larger
// ones are streamed.
constexpr uint64_t kMaxWholeConvertedBytes = uint64_t(16) << 20;

// The extension RowsEncoder gives rows of `format` under `type`.
const char* RowsExtension(OutputType type, const PngFormat& format);

// Bytes of one row of `format`'s CMYK samples (alpha included).
size_t CmykRowBytes(const TiffFormat& format);

}  // namespace kestran::pdf

#endif
