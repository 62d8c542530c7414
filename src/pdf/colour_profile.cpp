#include "pdf/colour_profile.h"

#include <algorithm>
#include <cstring>

#include <lcms2.h>

#include "pdf/mu_try.h"

namespace kestran::pdf {
namespace {

// Guards against colour spaces that refer to each other in a loop.
constexpr int kMaxSpaceDepth = 8;

// Profiles larger than this are not a colour profile a PDF producer embeds.
constexpr size_t kMaxProfileBytes = size_t(64) << 20;

uint32_t Be32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

const char* DefaultName(int components)
{
    switch (components) {
    case 1: return "DefaultGray";
    case 3: return "DefaultRGB";
    case 4: return "DefaultCMYK";
    default: return nullptr;
    }
}

bool IsDeviceName(fz_context* ctx, pdf_obj* name, int components)
{
    switch (components) {
    case 1: return pdf_name_eq(ctx, name, PDF_NAME(DeviceGray)) || pdf_name_eq(ctx, name, PDF_NAME(G));
    case 3: return pdf_name_eq(ctx, name, PDF_NAME(DeviceRGB)) || pdf_name_eq(ctx, name, PDF_NAME(RGB));
    case 4: return pdf_name_eq(ctx, name, PDF_NAME(DeviceCMYK)) || pdf_name_eq(ctx, name, PDF_NAME(CMYK));
    default: return false;
    }
}

// The ICC stream `cs` resolves to for colours of `components` components, or
// for a device space the page's default of that name. Runs inside MuTry.
pdf_obj* ProfileStreamOf(fz_context* ctx, pdf_obj* cs, pdf_obj* defaults, int components)
{
    bool default_used = false;
    for (int depth = 0; cs != nullptr && depth < kMaxSpaceDepth; ++depth) {
        if (pdf_is_name(ctx, cs)) {
            if (default_used || !IsDeviceName(ctx, cs, components))
                return nullptr;
            cs = pdf_dict_gets(ctx, defaults, DefaultName(components));
            default_used = true;
            continue;
        }
        if (!pdf_is_array(ctx, cs))
            return nullptr;
        pdf_obj* family = pdf_array_get(ctx, cs, 0);
        if (pdf_name_eq(ctx, family, PDF_NAME(ICCBased)))
            return pdf_array_get(ctx, cs, 1);
        if (pdf_name_eq(ctx, family, PDF_NAME(Indexed)) || pdf_name_eq(ctx, family, PDF_NAME(I)))
            cs = pdf_array_get(ctx, cs, 1);
        else if (pdf_name_eq(ctx, family, PDF_NAME(Separation)) || pdf_name_eq(ctx, family, PDF_NAME(DeviceN)))
            cs = pdf_array_get(ctx, cs, 2);
        else if (pdf_array_len(ctx, cs) == 1)
            cs = family;  // [/DeviceCMYK]
        else
            return nullptr;
    }
    return nullptr;
}

// True when the page's colour space resources name a space other than the
// defaults that could hold `components` colours of its own (so an inline
// image with those colours may be in it rather than in the device space).
bool NamesOtherSpace(fz_context* ctx, pdf_obj* defaults, int components)
{
    const int n = pdf_dict_len(ctx, defaults);
    for (int i = 0; i < n; ++i) {
        const char* key = pdf_to_name(ctx, pdf_dict_get_key(ctx, defaults, i));
        if (std::strncmp(key, "Default", 7) == 0)
            continue;
        pdf_obj* cs = pdf_dict_get_val(ctx, defaults, i);
        if (!pdf_is_array(ctx, cs))
            continue;
        pdf_obj* family = pdf_array_get(ctx, cs, 0);
        if (pdf_name_eq(ctx, family, PDF_NAME(ICCBased)) &&
            pdf_dict_get_int(ctx, pdf_array_get(ctx, cs, 1), PDF_NAME(N)) == components)
            return true;
    }
    return false;
}

}  // namespace

ImageColours ResolveColours(fz_context* ctx, const ColourSource& source, fz_colorspace* cs)
{
    ImageColours colours;
    switch (ImageColourKind(ctx, cs)) {
    case ColourKind::Gray: colours.icc = FindIccProfile(ctx, source, 1); break;
    case ColourKind::Rgb: colours.icc = FindIccProfile(ctx, source, 3); break;
    case ColourKind::Cmyk: colours.icc = FindIccProfile(ctx, source, 4); break;
    case ColourKind::Lab: colours.lab_known = ReadLabSpace(ctx, source, colours.lab); break;
    default: break;
    }
    return colours;
}

ColourKind ImageColourKind(fz_context* ctx, fz_colorspace* cs)
{
    for (int depth = 0; cs != nullptr && depth < kMaxSpaceDepth; ++depth) {
        switch (fz_colorspace_type(ctx, cs)) {
        case FZ_COLORSPACE_GRAY: return ColourKind::Gray;
        case FZ_COLORSPACE_RGB: return ColourKind::Rgb;
        case FZ_COLORSPACE_CMYK: return ColourKind::Cmyk;
        case FZ_COLORSPACE_LAB: return depth == 0 ? ColourKind::Lab : ColourKind::Other;
        case FZ_COLORSPACE_INDEXED: cs = cs->u.indexed.base; break;
        case FZ_COLORSPACE_SEPARATION:
            // A tint transform into gray or RGB changes nothing worth a
            // format of its own; one into CMYK keeps the inks.
            cs = cs->u.separation.base;
            return cs != nullptr && fz_colorspace_type(ctx, cs) == FZ_COLORSPACE_CMYK ? ColourKind::Cmyk
                                                                                        : ColourKind::Other;
        default: return ColourKind::Other;
        }
    }
    return ColourKind::Other;
}

bool IsUsableIccProfile(const uint8_t* data, size_t size, int components)
{
    if (data == nullptr || size < 132 || size > kMaxProfileBytes)
        return false;
    if (Be32(data) != size || std::memcmp(data + 36, "acsp", 4) != 0)
        return false;
    const uint8_t* space = data + 16;
    switch (components) {
    case 1: return std::memcmp(space, "GRAY", 4) == 0;
    case 3: return std::memcmp(space, "RGB ", 4) == 0;
    case 4: return std::memcmp(space, "CMYK", 4) == 0;
    default: return false;
    }
}

std::vector<uint8_t> FindIccProfile(fz_context* ctx, const ColourSource& source, int components)
{
    std::vector<uint8_t> profile;
    if (DefaultName(components) == nullptr)
        return profile;
    pdf_obj* image = source.image.get();
    pdf_obj* defaults = source.defaults.get();
    if (image == nullptr && defaults == nullptr)
        return profile;
    fz_buffer* buf = nullptr;
    MuTry(ctx, [&] {
        pdf_obj* stream = nullptr;
        if (image != nullptr) {
            stream = ProfileStreamOf(ctx, pdf_dict_get(ctx, image, PDF_NAME(ColorSpace)), defaults, components);
        } else if (pdf_is_dict(ctx, defaults) && !NamesOtherSpace(ctx, defaults, components)) {
            pdf_obj* device = components == 1   ? PDF_NAME(DeviceGray)
                              : components == 3 ? PDF_NAME(DeviceRGB)
                                                : PDF_NAME(DeviceCMYK);
            stream = ProfileStreamOf(ctx, device, defaults, components);
        }
        if (stream != nullptr && pdf_is_stream(ctx, stream))
            buf = pdf_load_stream(ctx, stream);
    });
    const BufferHandle held(ctx, buf);
    if (buf != nullptr) {
        unsigned char* data = nullptr;
        const size_t size = fz_buffer_storage(ctx, buf, &data);
        if (IsUsableIccProfile(data, size, components))
            profile.assign(data, data + size);
    }
    return profile;
}

bool ReadLabSpace(fz_context* ctx, const ColourSource& source, LabSpace& lab)
{
    pdf_obj* image = source.image.get();
    if (image == nullptr)
        return false;
    bool is_lab = false;
    MuTry(ctx, [&] {
        pdf_obj* cs = pdf_dict_get(ctx, image, PDF_NAME(ColorSpace));
        if (!pdf_is_array(ctx, cs) || !pdf_name_eq(ctx, pdf_array_get(ctx, cs, 0), PDF_NAME(Lab)))
            return;
        pdf_obj* params = pdf_array_get(ctx, cs, 1);
        pdf_obj* white = pdf_dict_get(ctx, params, PDF_NAME(WhitePoint));
        if (pdf_array_len(ctx, white) == 3)
            for (int i = 0; i < 3; ++i)
                lab.white[i] = pdf_array_get_real(ctx, white, i);
        pdf_obj* range = pdf_dict_get(ctx, params, PDF_NAME(Range));
        if (pdf_array_len(ctx, range) == 4)
            for (int i = 0; i < 4; ++i)
                lab.range[i] = pdf_array_get_real(ctx, range, i);
        lab.decode[0] = 0;
        lab.decode[1] = 100;
        for (int i = 0; i < 4; ++i)
            lab.decode[2 + i] = lab.range[i];
        pdf_obj* decode = pdf_dict_geta(ctx, image, PDF_NAME(Decode), PDF_NAME(D));
        if (pdf_array_len(ctx, decode) == 6)
            for (int i = 0; i < 6; ++i)
                lab.decode[i] = pdf_array_get_real(ctx, decode, i);
        is_lab = true;
    });
    // A white point must be a real white: positive, Y = 1 by definition.
    return is_lab && lab.white[0] > 0 && lab.white[1] > 0 && lab.white[2] > 0;
}

LabToSrgb::LabToSrgb(const LabSpace& lab, int bpc) : lab_(lab), bpc_(bpc)
{
    if (bpc != 8 && bpc != 16)
        return;
    cmsCIEXYZ xyz = {lab.white[0], lab.white[1], lab.white[2]};
    cmsCIExyY white;
    cmsXYZ2xyY(&white, &xyz);
    cmsHPROFILE lab_profile = cmsCreateLab4Profile(&white);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    if (lab_profile != nullptr && srgb != nullptr)
        transform_ = cmsCreateTransform(lab_profile, TYPE_Lab_DBL, srgb, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    if (lab_profile != nullptr)
        cmsCloseProfile(lab_profile);
    if (srgb != nullptr)
        cmsCloseProfile(srgb);
}

LabToSrgb::~LabToSrgb()
{
    if (transform_ != nullptr)
        cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform_));
}

void LabToSrgb::Convert(const uint8_t* samples, uint8_t* rgb, size_t count)
{
    if (transform_ == nullptr)
        return;
    buffer_.resize(count * 3);
    const double max = bpc_ == 16 ? 65535.0 : 255.0;
    for (size_t i = 0; i < count * 3; ++i) {
        const unsigned v = bpc_ == 16 ? (unsigned(samples[2 * i]) << 8) | samples[2 * i + 1] : samples[i];
        const size_t c = i % 3;
        double value = lab_.decode[2 * c] + v * (lab_.decode[2 * c + 1] - lab_.decode[2 * c]) / max;
        // As a PDF consumer does: a* and b* clipped to the range, L* to 0..100.
        if (c == 0)
            value = std::clamp(value, 0.0, 100.0);
        else
            value = std::clamp(value, std::min(lab_.range[2 * c - 2], lab_.range[2 * c - 1]),
                               std::max(lab_.range[2 * c - 2], lab_.range[2 * c - 1]));
        buffer_[i] = value;
    }
    cmsDoTransform(static_cast<cmsHTRANSFORM>(transform_), buffer_.data(), rgb, static_cast<cmsUInt32Number>(count));
}

}  // namespace kestran::pdf
