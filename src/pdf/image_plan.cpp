#include "pdf/image_plan.h"

#include <lcms2.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "pdf/jpeg_writer.h"
#include "pdf/srgb_transform.h"

namespace kestran::pdf {

namespace {

// Transparency in a PNG of `format`: an alpha channel, or a palette entry
// that is not opaque.
bool PngHasAlpha(const PngFormat& format)
{
    if (format.color == PngColor::GrayAlpha || format.color == PngColor::Rgba)
        return true;
    return format.color == PngColor::Palette &&
           std::any_of(format.transparency.begin(), format.transparency.end(), [](uint8_t a) { return a != 255; });
}

bool SharpEdged(const PngFormat& format)
{
    return format.color == PngColor::Palette || format.bit_depth < 8;
}

}  // namespace

const char* ImageActionName(ImageAction action)
{
    switch (action) {
    case ImageAction::Copied:
        return "copied";
    case ImageAction::Converted:
        return "converted";
    case ImageAction::Written:
        break;
    }
    return "written";
}

bool WritesJpeg(OutputType type, bool alpha) { return type == OutputType::Jpeg && !alpha; }

ImagePlan PlanImage(const ImageFacts& facts, OutputType type)
{
    ImagePlan plan;
    plan.type = type;
    const bool inks = facts.colours == ColourKind::Cmyk;
    const bool lab = facts.colours == ColourKind::Lab;
    // Gray or RGB, device or ICC-based, also under a palette.
    const bool gray_rgb = facts.colours == ColourKind::Gray || facts.colours == ColourKind::Rgb;
    // Colours that change on the way to sRGB: a profile other than sRGB,
    // inks, Lab, or a space MuPDF maps to RGB through a function.
    const bool changes = (facts.has_profile && !facts.srgb_profile) || !gray_rgb;
    if (!facts.stencil)
        plan.samples = inks ? ImagePlan::Samples::Inks : lab ? ImagePlan::Samples::Lab : ImagePlan::Samples::Decoded;
    if (type == OutputType::Original) {
        // Lab is converted to sRGB, a tint transform's colours to RGB.
        plan.decoded_action = !gray_rgb && !inks && !facts.stencil ? ImageAction::Converted
                                                                           : ImageAction::Written;
        plan.copy_jpeg = plan.copy_jpx = plan.copy_png_rows = plan.copy_cmyk_strip = true;
        if (facts.stored == ImageFacts::Stored::Jpeg && !facts.stencil) {
            plan.way = ImagePlan::Way::CopyJpeg;
            plan.extension = "jpg";
        } else if (facts.stored == ImageFacts::Stored::Jpx && !facts.stencil) {
            plan.way = ImagePlan::Way::CopyJpx;
            plan.extension = "jp2";
        } else if (inks && !facts.stencil) {
            plan.way = ImagePlan::Way::CmykTiff;
            plan.extension = "tif";
        } else if (lab && !facts.stencil) {
            plan.way = ImagePlan::Way::LabSrgb;
            plan.extension = "png";
        } else {
            plan.extension = "png";
        }
        return plan;
    }
    plan.to_srgb = true;
    plan.decoded_action = changes && !facts.stencil ? ImageAction::Converted : ImageAction::Written;
    // Stored PNG rows are the file's rows only where nothing converts them.
    plan.copy_png_rows = type == OutputType::Png && !facts.has_profile && gray_rgb;
    const bool alpha = facts.masked || facts.stencil;
    // A stored JPEG already in sRGB (or gray) is the JPEG this type asks for.
    if (type == OutputType::Jpeg && facts.stored == ImageFacts::Stored::Jpeg && !alpha && gray_rgb &&
        !facts.indexed && facts.bits == 8 && (!facts.has_profile || facts.srgb_profile)) {
        plan.copy_jpeg = true;
        plan.way = ImagePlan::Way::CopyJpeg;
        plan.extension = "jpg";
        return plan;
    }
    const bool jpeg = WritesJpeg(type, alpha);
    plan.way = jpeg ? ImagePlan::Way::Jpeg : ImagePlan::Way::Png;
    plan.extension = jpeg ? "jpg" : "png";
    return plan;
}

bool IsSrgbProfile(const std::vector<uint8_t>& profile)
{
    if (profile.empty())
        return false;
    cmsHPROFILE p = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
    if (p == nullptr)
        return false;
    wchar_t text[256] = {0};
    const bool read = cmsGetProfileInfo(p, cmsInfoDescription, "en", "US", text, 256) > 0;
    const bool rgb = cmsGetColorSpace(p) == cmsSigRgbData;
    cmsCloseProfile(p);
    return read && rgb && std::wcsstr(text, L"sRGB") != nullptr;
}

const char* RowsExtension(OutputType type, const PngFormat& format)
{
    return WritesJpeg(type, PngHasAlpha(format)) ? "jpg" : "png";
}

size_t CmykRowBytes(const TiffFormat& format)
{
    return size_t(format.width) * (format.alpha ? 5 : 4) * static_cast<size_t>(format.bits / 8);
}

struct RowsEncoder::State {
    enum class Source : uint8_t { Gray, Rgb, Palette, Cmyk };
    Source source = Source::Rgb;
    uint32_t width = 0;
    uint32_t height = 0;
    int bits = 8;
    bool alpha = false;
    bool jpeg = false;
    bool passthrough = false;  // the rows go to the PNG as they come
    std::vector<uint8_t> palette;  // in sRGB
    std::shared_ptr<const SrgbTransform> transform;
    PngFormat png_format;
    JpegFormat jpeg_format;
    std::unique_ptr<PngStreamEncoder> png;
    std::unique_ptr<JpegStreamEncoder> jpg;
    std::vector<uint8_t> unpacked;  // one row of sub-8-bit gray at 8 bits
    std::vector<uint8_t> block;     // converted rows on their way to the encoder
    size_t out_stride = 0;
    bool failed = false;

    int level = 0;
    RowsSink sink;
    PixelHash* pixels = nullptr;

    // The output format is known here; its encoder starts with the first rows
    // (EncodeWhole may need none).
    void Prepare(int png_level, RowsSink to, PixelHash* hash)
    {
        level = png_level;
        sink = std::move(to);
        pixels = hash;
        if (jpeg) {
            out_stride = size_t(width) * static_cast<size_t>(jpeg_format.components);
        } else {
            png_format.icc_profile.clear();
            png_format.srgb = true;
            out_stride = PngRowBytes(png_format);
        }
    }
    void Start()
    {
        if (png || jpg)
            return;
        if (jpeg)
            jpg = std::make_unique<JpegStreamEncoder>(jpeg_format, sink, pixels);
        else
            png = std::make_unique<PngStreamEncoder>(png_format, level, sink, pixels);
    }

    // One source row to one row of the file.
    void ConvertRow(const uint8_t* src, uint8_t* dst)
    {
        if (source == Source::Palette) {
            // Only a JPEG gets here: the indices looked up.
            const int per_byte = 8 / bits;
            const int mask = (1 << bits) - 1;
            for (uint32_t x = 0; x < width; ++x) {
                const int shift = (per_byte - 1 - static_cast<int>(x % per_byte)) * bits;
                const size_t index = bits == 8 ? src[x] : static_cast<size_t>((src[x / per_byte] >> shift) & mask);
                const uint8_t* entry = index * 3 + 2 < palette.size() ? &palette[index * 3] : nullptr;
                for (int c = 0; c < 3; ++c)
                    *dst++ = entry != nullptr ? entry[c] : 0;
            }
            return;
        }
        if (source == Source::Gray && bits < 8) {
            const int per_byte = 8 / bits;
            const int max = (1 << bits) - 1;
            unpacked.resize(width);
            for (uint32_t x = 0; x < width; ++x) {
                const int shift = (per_byte - 1 - static_cast<int>(x % per_byte)) * bits;
                unpacked[x] = static_cast<uint8_t>(((src[x / per_byte] >> shift) & max) * 255 / max);
            }
            src = unpacked.data();
        }
        if (transform) {
            transform->Convert(src, dst, width);
            return;
        }
        // No colour change: only a JPEG's depth (gray or RGB without alpha).
        const size_t samples = size_t(width) * (source == Source::Gray ? 1 : 3);
        if (bits == 16) {
            for (size_t i = 0; i < samples; ++i)
                dst[i] = static_cast<uint8_t>((((src[2 * i] << 8) | src[2 * i + 1]) + 128) / 257);
        } else {
            std::memcpy(dst, src, samples);
        }
    }
};

RowsEncoder::RowsEncoder(OutputType type, const PngFormat& format, int png_level, RowsSink sink, PixelHash* pixels)
    : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.width = format.width;
    s.height = format.height;
    s.bits = format.bit_depth;
    s.png_format = format;
    if (type == OutputType::Original) {
        s.passthrough = true;
        s.png = std::make_unique<PngStreamEncoder>(format, png_level, std::move(sink), pixels);
        s.level = png_level;
        s.out_stride = PngRowBytes(format);
        return;
    }
    s.alpha = format.color == PngColor::GrayAlpha || format.color == PngColor::Rgba;
    s.source = format.color == PngColor::Palette                                         ? State::Source::Palette
               : format.color == PngColor::Gray || format.color == PngColor::GrayAlpha ? State::Source::Gray
                                                                                         : State::Source::Rgb;
    s.jpeg = WritesJpeg(type, PngHasAlpha(format));
    s.jpeg_format.width = format.width;
    s.jpeg_format.height = format.height;
    s.jpeg_format.full_chroma = SharpEdged(format);
    if (s.source == State::Source::Palette) {
        s.palette = format.palette;
        if (!format.icc_profile.empty()) {
            // A palette's entries are RGB triples; over a gray base they are
            // gray, and the profile is a gray one.
            SrgbLayout layout;
            layout.source = SrgbSource::Rgb;
            auto rgb = SrgbTransformFor(format.icc_profile, layout);
            layout.source = SrgbSource::Gray;
            auto gray = rgb ? nullptr : SrgbTransformFor(format.icc_profile, layout);
            const size_t entries = s.palette.size() / 3;
            if (rgb) {
                rgb->Convert(format.palette.data(), s.palette.data(), entries);
            } else if (gray) {
                for (size_t i = 0; i < entries; ++i) {
                    uint8_t g = 0;
                    gray->Convert(&format.palette[i * 3], &g, 1);
                    s.palette[i * 3] = s.palette[i * 3 + 1] = s.palette[i * 3 + 2] = g;
                }
            }
        }
        s.png_format.palette = s.palette;
        s.jpeg_format.components = 3;
        s.passthrough = !s.jpeg;
    } else {
        const bool gray = s.source == State::Source::Gray;
        SrgbLayout layout;
        layout.source = gray ? SrgbSource::Gray : SrgbSource::Rgb;
        layout.in_bytes = s.bits == 16 ? 2 : 1;
        layout.alpha = s.alpha;
        layout.out_bytes = !s.jpeg && s.bits == 16 ? 2 : 1;
        s.transform = SrgbTransformFor(format.icc_profile, layout);
        s.passthrough = !s.jpeg && !s.transform;
        if (s.transform)
            s.png_format.bit_depth = layout.out_bytes * 8;
        s.jpeg_format.components = gray ? 1 : 3;
    }
    s.Prepare(png_level, std::move(sink), pixels);
}

RowsEncoder::RowsEncoder(OutputType type, const TiffFormat& format, int png_level, RowsSink sink, PixelHash* pixels)
    : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.source = State::Source::Cmyk;
    s.width = format.width;
    s.height = format.height;
    s.bits = format.bits;
    s.alpha = format.alpha;
    if (type == OutputType::Original || (format.bits != 8 && format.bits != 16)) {
        s.failed = true;  // printing inks keep their TIFF (EncodeCmykTiff)
        return;
    }
    s.jpeg = WritesJpeg(type, format.alpha);
    SrgbLayout layout;
    layout.source = SrgbSource::Cmyk;
    layout.in_bytes = format.bits / 8;
    layout.in_big_endian = false;
    layout.alpha = format.alpha;
    layout.out_bytes = !s.jpeg && format.bits == 16 ? 2 : 1;
    s.transform = SrgbTransformFor(format.icc_profile, layout);
    s.png_format.width = format.width;
    s.png_format.height = format.height;
    s.png_format.bit_depth = layout.out_bytes * 8;
    s.png_format.color = format.alpha ? PngColor::Rgba : PngColor::Rgb;
    s.jpeg_format.width = format.width;
    s.jpeg_format.height = format.height;
    s.jpeg_format.components = 3;
    s.Prepare(png_level, std::move(sink), pixels);
}

RowsEncoder::~RowsEncoder() = default;

bool RowsEncoder::AddRows(const uint8_t* rows, size_t stride, size_t count)
{
    State& s = *state_;
    if (s.failed)
        return false;
    s.Start();
    if (s.passthrough)
        return s.png->AddRows(rows, stride, count);
    // Converted a few rows at a time, so that a whole image given at once
    // is never held twice.
    const size_t per_block = std::max<size_t>(1, (size_t(1) << 16) / std::max<size_t>(s.out_stride, 1));
    s.block.resize(s.out_stride * std::min(per_block, count));
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(per_block, count - done);
        for (size_t r = 0; r < n; ++r)
            s.ConvertRow(rows + (done + r) * stride, s.block.data() + r * s.out_stride);
        const bool added = s.jpg ? s.jpg->AddRows(s.block.data(), s.out_stride, n)
                                 : s.png->AddRows(s.block.data(), s.out_stride, n);
        if (!added) {
            s.failed = true;
            return false;
        }
        done += n;
    }
    return true;
}

bool RowsEncoder::Finish()
{
    State& s = *state_;
    if (s.failed)
        return false;
    s.Start();
    return s.jpg ? s.jpg->Finish() : s.png->Finish();
}

bool RowsEncoder::EncodeWhole(const uint8_t* rows, size_t stride, bool (*should_stop)(void*))
{
    State& s = *state_;
    if (s.failed || s.png || s.jpg)
        return false;
    const uint64_t converted = uint64_t(s.out_stride) * s.height;
    if (s.jpeg || (!s.passthrough && converted > kMaxWholeConvertedBytes)) {
        // Through the streaming encoder, a block at a time.
        for (uint32_t y = 0; y < s.height; y += 64) {
            if ((should_stop != nullptr && should_stop(nullptr)) ||
                !AddRows(rows + stride * y, stride, std::min<uint32_t>(64, s.height - y)))
                return false;
        }
        return Finish();
    }
    // One deflate over the whole image, which beats zlib's streaming.
    std::vector<uint8_t> held;
    if (!s.passthrough) {
        held.resize(converted);
        for (uint32_t y = 0; y < s.height; ++y)
            s.ConvertRow(rows + stride * y, held.data() + s.out_stride * y);
        rows = held.data();
        stride = s.out_stride;
    }
    std::vector<uint8_t> file;
    if (!EncodePng(s.png_format, rows, stride, file, s.level, should_stop, nullptr, s.pixels))
        return false;
    held = std::vector<uint8_t>();
    return s.sink(file.data(), file.size());
}

const char* RowsEncoder::Extension() const { return state_->jpeg ? "jpg" : "png"; }

}  // namespace kestran::pdf
