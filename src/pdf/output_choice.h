// What the user asks the extraction to make of the images it finds: the
// output type, the filters that leave images out, and the record of every
// image found (the manifest's rows). Shared by the command line, the
// window's job and the engine, so that one name means one behaviour.
#ifndef KESTRAN_PDF_OUTPUT_CHOICE_H
#define KESTRAN_PDF_OUTPUT_CHOICE_H

#include <cstdint>
#include <string>

namespace kestran::pdf {

// Original: every image in its most faithful form (stored JPEG and JPEG 2000
// bytes kept, everything else lossless, CMYK as a CMYK TIFF), never
// converted. Png: every image a lossless PNG in sRGB. Jpeg: every image a
// JPEG in sRGB, except one with transparency, which becomes a PNG.
enum class OutputType { Original = 0, Png = 1, Jpeg = 2 };

// "original", "png", "jpeg" (also "jpg"), any case. False for anything else.
bool ParseOutputType(const std::string& text, OutputType& type);
// "original", "png" or "jpeg".
const char* OutputTypeName(OutputType type);

// Images left out before they are written. Both off by default.
struct ImageFilters {
    int min_side = 0;        // skip an image narrower or lower than this (pixels); 0 = off
    bool skip_flat = false;  // skip an image of one flat colour
};

// Where a page first draws an image: the bounding box of its placement in
// points (page space, y up as in the PDF) and the resolution that gives, in
// pixels per inch along the image's width and height.
struct Placement {
    bool known = false;
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    double ppi_x = 0, ppi_y = 0;
};

// The placement of a `width` x `height` image drawn under the matrix
// [a b c d e f]: its unit square's bounding box, and the pixels per inch
// along its own width (the matrix's x axis) and height (y axis), 0 when the
// axis has no length.
Placement PlacementOf(double a, double b, double c, double d, double e, double f, int width, int height);

// One image found on a page, and what happened to it: one manifest row.
struct ImageRecord {
    std::string source;          // the PDF as given
    int page = 0;                // 1-based
    int index = 0;               // 1-based, in paint order among the images the page draws
    int object_num = 0;          // 0 = inline image
    int width = 0, height = 0;
    int bits = 0;                // bits per component as stored
    std::string colour_space;    // e.g. "DeviceRGB", "ICCBased(CMYK)", "Indexed(DeviceRGB)"
    std::string filters;         // e.g. "DCTDecode", "FlateDecode", "" for none
    // "copied", "converted", "written", "already there", "duplicate",
    // "skipped"; `detail` holds the duplicate's file or the skip's reason.
    std::string action;
    std::string detail;
    std::string output_file;     // name in the output folder, empty when none was written
    uint64_t output_size = 0;
    std::string sha256;          // of the output file, lowercase hex; empty when none
    Placement placement;
};

}  // namespace kestran::pdf

#endif
