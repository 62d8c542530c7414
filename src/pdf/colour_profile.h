// What an image's colours mean: the ICC profile the file gives for them, the
// kind of colour its samples are in, and Lab to sRGB through lcms2.
//
// Debian's MuPDF has no colour management: it reads an ICCBased space as the
// device space of the same number of components and ignores /DefaultCMYK. The
// extractor therefore keeps the samples as the page uses them and writes the
// profile next to them, so that a colour-managed viewer shows what a
// colour-managed print shows; only Lab, which no common image file holds, is
// converted.
#ifndef KESTRAN_PDF_COLOUR_PROFILE_H
#define KESTRAN_PDF_COLOUR_PROFILE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pdf/mu_context.h"

namespace kestran::pdf {

// Where the file defines an image's colours. Both may be null.
struct ColourSource {
    ObjHandle image;     // the image XObject; null for an inline image or when it is not known
    ObjHandle defaults;  // the page's /ColorSpace resources, which may hold /DefaultGray, /DefaultRGB, /DefaultCMYK

};

// The colours an image's samples are in once MuPDF has looked up a palette or
// run a tint transform.
enum class ColourKind { Other, Gray, Rgb, Cmyk, Lab };

// Gray, RGB and CMYK also for Indexed over them and, for CMYK, Separation and
// DeviceN whose alternate space is CMYK (their samples become the alternate's
// values); Lab only for a plain Lab image.
ColourKind ImageColourKind(fz_context* ctx, fz_colorspace* cs);

// True when `data` looks like an ICC profile of `components` colours: the
// size in its header matches, the 'acsp' signature is there and its data
// colour space is GRAY, RGB or CMYK as asked. A profile that fails is left
// out of the written file (the samples are still right without it).
bool IsUsableIccProfile(const uint8_t* data, size_t size, int components);

// The ICC profile that says what the image's `components` colours mean: the
// image's own ICCBased space (also as the base of Indexed or the alternate of
// Separation/DeviceN), else, for a device space, the page's /Default space of
// that name when it is ICCBased. An inline image's space is not known here:
// it gets the page's default only when the page names no other colour space
// of that many components, so that it can only be the device space. Empty
// when there is none or it is unusable.
std::vector<uint8_t> FindIccProfile(fz_context* ctx, const ColourSource& source, int components);

// A Lab image as the file describes it.
struct LabSpace {
    double white[3] = {0.9505, 1.0, 1.089};   // /WhitePoint (XYZ)
    double decode[6] = {0, 100, -100, 100, -100, 100};  // sample range to L*, a*, b*
    double range[4] = {-100, 100, -100, 100};  // a* and b* limits
};

// Reads /WhitePoint, /Range and the image's /Decode (default: 0 100 and the
// range). False when the image object is not known or not a Lab image.
bool ReadLabSpace(fz_context* ctx, const ColourSource& source, LabSpace& lab);

// What the file says about one image's colours, read on the thread that
// walks the page (the document's objects are that thread's alone), so that
// encoding on any thread needs nothing from the document.
struct ImageColours {
    std::vector<uint8_t> icc;  // the profile for the image's colours (FindIccProfile); empty when none
    bool lab_known = false;    // `lab` holds the image's Lab space
    LabSpace lab;
};

// The colours of an image whose samples MuPDF gives in `cs`, from `source`.
ImageColours ResolveColours(fz_context* ctx, const ColourSource& source, fz_colorspace* cs);

// Converts Lab samples (8 or 16 bits, 16 big-endian, three per pixel) to
// 8-bit sRGB with lcms2's own Lab and sRGB profiles, relative colorimetric
// (the rendering intent a PDF page uses unless it says otherwise).
class LabToSrgb {
public:
    LabToSrgb(const LabSpace& lab, int bpc);
    ~LabToSrgb();
    LabToSrgb(const LabToSrgb&) = delete;
    LabToSrgb& operator=(const LabToSrgb&) = delete;

    bool Ok() const { return transform_ != nullptr; }
    // `count` pixels from `samples` to `rgb` (3 bytes each).
    void Convert(const uint8_t* samples, uint8_t* rgb, size_t count);

private:
    LabSpace lab_;
    int bpc_;
    void* transform_ = nullptr;
    std::vector<double> buffer_;
};

}  // namespace kestran::pdf

#endif
