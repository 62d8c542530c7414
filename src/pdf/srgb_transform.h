// Colour-managed conversion of decoded samples to sRGB through lcms2, for the
// PNG and JPEG output types.
//
// Where the colours' meaning comes from: the ICC profile the file gives (the
// image's own, else the page's /Default space: ImageColours::icc), else for
// CMYK the press profile installed with the program, else (that file
// missing) the plain formula R = 1 - min(1, C + K) that MuPDF uses without
// colour management. Device gray and RGB are taken as sRGB, so they need no
// transform at all. Gray stays gray: a gray profile is converted to a gray
// of sRGB's tone curve, which is what a viewer assumes for a gray file
// without a profile.
//
// Threads: transforms are made once per (profile, layout) and kept in one
// process-wide cache under a lock; a transform never changes after it is
// made, and lcms2 allows several threads to run one transform at once (made
// in the global context, each call works on its own copy of the cache), so
// the encoding threads share them without further locking.
#ifndef KESTRAN_PDF_SRGB_TRANSFORM_H
#define KESTRAN_PDF_SRGB_TRANSFORM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestran::pdf {

enum class SrgbSource : uint8_t { Gray, Rgb, Cmyk };

// How the samples to convert are laid out, and how the result should be.
struct SrgbLayout {
    SrgbSource source = SrgbSource::Rgb;
    int in_bytes = 1;            // per sample: 1, or 2 for 16-bit samples
    bool in_big_endian = true;   // 16-bit input as PNG rows hold it; false: machine order (TIFF rows)
    bool alpha = false;          // an alpha sample after the colours, copied as it is (same width as the colours)
    int out_bytes = 1;           // 1, or 2 (big-endian, PNG's order); alpha takes the same width
};

class SrgbTransform {
public:
    ~SrgbTransform();
    SrgbTransform(const SrgbTransform&) = delete;
    SrgbTransform& operator=(const SrgbTransform&) = delete;

    // `count` pixels from `in` to `out` (gray, or RGB, then alpha when the
    // layout has it). Safe to call from several threads at once.
    void Convert(const uint8_t* in, uint8_t* out, size_t count) const;

    // Channels of a converted pixel, alpha included.
    int OutChannels() const;
    const SrgbLayout& layout() const { return layout_; }
    // True when CMYK is converted by the plain formula (no profile could be used).
    bool Naive() const { return transform_ == nullptr; }

private:
    friend std::shared_ptr<const SrgbTransform> SrgbTransformFor(const std::vector<uint8_t>&, const SrgbLayout&);
    explicit SrgbTransform(const SrgbLayout& layout) : layout_(layout) {}
    void ConvertNaive(const uint8_t* in, uint8_t* out, size_t count) const;

    SrgbLayout layout_;
    void* transform_ = nullptr;  // cmsHTRANSFORM; null for the plain CMYK formula
};

// The transform for samples described by `profile` (ICC bytes; empty for the
// device space) in `layout`. Null when the colours already are sRGB: device
// gray or RGB, or a profile that is unusable or not of the layout's colours
// (the samples are then taken as device colours, as MuPDF shows them). CMYK
// always gets one (the press profile or the plain formula). Cached.
std::shared_ptr<const SrgbTransform> SrgbTransformFor(const std::vector<uint8_t>& profile, const SrgbLayout& layout);

// The press profile used for CMYK without a profile of its own, and whether
// it is there and readable (read once per process).
const char* PressProfilePath();
bool PressProfileAvailable();

// Makes the cache forget its transforms and the press profile read the
// next time (tests that change the path). Not while encoding runs.
void ResetSrgbTransforms(const std::string& press_profile_path = std::string());

}  // namespace kestran::pdf

#endif
