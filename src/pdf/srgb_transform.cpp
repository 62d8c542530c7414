#include "pdf/srgb_transform.h"

#include <lcms2.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

namespace kestran::pdf {

namespace {

// Ghostscript's default CMYK output profile (a SWOP-like press condition),
// from Debian's libgs-common, a dependency of the package.
constexpr const char* kDefaultPressProfile = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

// More distinct (profile, layout) pairs than a job meets: beyond it the cache
// starts again (transforms in use live on in their holders).
constexpr size_t kMaxCachedTransforms = 64;

bool LittleEndianHost()
{
    const uint16_t probe = 1;
    uint8_t first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

// Everything below is guarded by Cache::mutex.
struct Cache {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<const SrgbTransform>> transforms;
    std::string press_path = kDefaultPressProfile;
    bool press_read = false;
    std::vector<uint8_t> press;
};

Cache& TheCache()
{
    static Cache cache;  // made on first use, not at start-up
    return cache;
}

const std::vector<uint8_t>& PressProfileLocked(Cache& cache)
{
    if (!cache.press_read) {
        cache.press_read = true;
        std::ifstream in(cache.press_path, std::ios::binary);
        if (in)
            cache.press.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        cmsHPROFILE probe = cache.press.empty()
                                ? nullptr
                                : cmsOpenProfileFromMem(cache.press.data(), static_cast<cmsUInt32Number>(cache.press.size()));
        if (probe == nullptr || cmsGetColorSpace(probe) != cmsSigCmykData)
            cache.press.clear();
        if (probe != nullptr)
            cmsCloseProfile(probe);
    }
    return cache.press;
}

cmsUInt32Number Format(cmsUInt32Number space, int channels, int bytes, bool big_endian, bool alpha)
{
    const bool swap = bytes == 2 && big_endian == LittleEndianHost();
    return COLORSPACE_SH(space) | CHANNELS_SH(channels) | BYTES_SH(bytes) | EXTRA_SH(alpha ? 1 : 0) |
           ENDIAN16_SH(swap ? 1 : 0);
}

// Gray of sRGB's tone curve, D50 as ICC profiles have it.
cmsHPROFILE SrgbGrayProfile()
{
    const cmsFloat64Number params[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, params);
    if (curve == nullptr)
        return nullptr;
    cmsHPROFILE gray = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsFreeToneCurve(curve);
    return gray;
}

void* MakeTransform(const std::vector<uint8_t>& profile, const SrgbLayout& layout)
{
    cmsHPROFILE in = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
    if (in == nullptr)
        return nullptr;
    const cmsColorSpaceSignature want = layout.source == SrgbSource::Gray  ? cmsSigGrayData
                                        : layout.source == SrgbSource::Rgb ? cmsSigRgbData
                                                                           : cmsSigCmykData;
    cmsHTRANSFORM transform = nullptr;
    if (cmsGetColorSpace(in) == want) {
        const bool gray = layout.source == SrgbSource::Gray;
        cmsHPROFILE out = gray ? SrgbGrayProfile() : cmsCreate_sRGBProfile();
        const int in_channels = gray ? 1 : layout.source == SrgbSource::Rgb ? 3 : 4;
        const cmsUInt32Number in_space = gray ? PT_GRAY : layout.source == SrgbSource::Rgb ? PT_RGB : PT_CMYK;
        cmsUInt32Number flags = cmsFLAGS_NOCACHE;
        if (layout.alpha)
            flags |= cmsFLAGS_COPY_ALPHA;
        // Press blacks are lighter than a screen's: without compensation
        // every shadow of a CMYK picture would come out grey.
        if (layout.source == SrgbSource::Cmyk)
            flags |= cmsFLAGS_BLACKPOINTCOMPENSATION;
        if (out != nullptr)
            transform = cmsCreateTransform(
                in, Format(in_space, in_channels, layout.in_bytes, layout.in_big_endian, layout.alpha), out,
                Format(gray ? PT_GRAY : PT_RGB, gray ? 1 : 3, layout.out_bytes, true, layout.alpha),
                INTENT_RELATIVE_COLORIMETRIC, flags);
        if (out != nullptr)
            cmsCloseProfile(out);
    }
    cmsCloseProfile(in);
    return transform;
}

uint32_t ReadSample(const uint8_t* p, int bytes, bool big_endian)
{
    if (bytes == 1)
        return p[0];
    if (big_endian)
        return (uint32_t(p[0]) << 8) | p[1];
    uint16_t v = 0;
    std::memcpy(&v, p, 2);
    return v;
}

void WriteSample(uint8_t* p, uint32_t value16, int bytes)
{
    if (bytes == 1) {
        p[0] = static_cast<uint8_t>((value16 + 128) / 257);
        return;
    }
    p[0] = static_cast<uint8_t>(value16 >> 8);
    p[1] = static_cast<uint8_t>(value16 & 0xff);
}

}  // namespace

SrgbTransform::~SrgbTransform()
{
    if (transform_ != nullptr)
        cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform_));
}

int SrgbTransform::OutChannels() const
{
    return (layout_.source == SrgbSource::Gray ? 1 : 3) + (layout_.alpha ? 1 : 0);
}

void SrgbTransform::Convert(const uint8_t* in, uint8_t* out, size_t count) const
{
    if (transform_ == nullptr) {
        ConvertNaive(in, out, count);
        return;
    }
    // lcms2 counts pixels in 32 bits.
    const size_t in_pixel = static_cast<size_t>(layout_.in_bytes) *
                            ((layout_.source == SrgbSource::Gray ? 1 : layout_.source == SrgbSource::Rgb ? 3 : 4) +
                             (layout_.alpha ? 1 : 0));
    const size_t out_pixel = static_cast<size_t>(layout_.out_bytes) * static_cast<size_t>(OutChannels());
    while (count > 0) {
        const size_t n = std::min<size_t>(count, size_t(1) << 24);
        cmsDoTransform(static_cast<cmsHTRANSFORM>(transform_), in, out, static_cast<cmsUInt32Number>(n));
        in += n * in_pixel;
        out += n * out_pixel;
        count -= n;
    }
}

void SrgbTransform::ConvertNaive(const uint8_t* in, uint8_t* out, size_t count) const
{
    // Only CMYK gets here: R = 1 - min(1, C + K), and so on.
    const int ib = layout_.in_bytes;
    const int ob = layout_.out_bytes;
    const uint32_t full = ib == 1 ? 255 : 65535;
    for (size_t i = 0; i < count; ++i) {
        uint32_t s[5];
        for (int c = 0; c < 4 + (layout_.alpha ? 1 : 0); ++c, in += ib)
            s[c] = ReadSample(in, ib, layout_.in_big_endian);
        for (int c = 0; c < 3; ++c) {
            const uint32_t v = full - std::min(full, s[c] + s[3]);
            WriteSample(out, ib == 1 ? v * 257 : v, ob);
            out += ob;
        }
        if (layout_.alpha) {
            WriteSample(out, ib == 1 ? s[4] * 257 : s[4], ob);
            out += ob;
        }
    }
}

std::shared_ptr<const SrgbTransform> SrgbTransformFor(const std::vector<uint8_t>& profile, const SrgbLayout& layout)
{
    if (profile.empty() && layout.source != SrgbSource::Cmyk)
        return nullptr;
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    const std::vector<uint8_t>& used = profile.empty() ? PressProfileLocked(cache) : profile;
    std::string key(reinterpret_cast<const char*>(used.data()), used.size());
    const uint8_t shape[5] = {static_cast<uint8_t>(layout.source), static_cast<uint8_t>(layout.in_bytes),
                              static_cast<uint8_t>(layout.in_big_endian), static_cast<uint8_t>(layout.alpha),
                              static_cast<uint8_t>(layout.out_bytes)};
    key.append(reinterpret_cast<const char*>(shape), sizeof shape);
    auto found = cache.transforms.find(key);
    if (found != cache.transforms.end())
        return found->second;
    std::shared_ptr<SrgbTransform> made(new SrgbTransform(layout));
    if (!used.empty())
        made->transform_ = MakeTransform(used, layout);
    if (made->transform_ == nullptr && layout.source != SrgbSource::Cmyk)
        made.reset();  // an unusable profile: the samples are shown as device colours
    // A CMYK profile that lcms2 refuses: the press profile, else the formula.
    if (made && made->transform_ == nullptr && !profile.empty()) {
        const std::vector<uint8_t>& press = PressProfileLocked(cache);
        if (!press.empty())
            made->transform_ = MakeTransform(press, layout);
    }
    if (cache.transforms.size() >= kMaxCachedTransforms)
        cache.transforms.clear();
    cache.transforms.emplace(std::move(key), made);
    return made;
}

const char* PressProfilePath()
{
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    return cache.press_path == kDefaultPressProfile ? kDefaultPressProfile : cache.press_path.c_str();
}

bool PressProfileAvailable()
{
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    return !PressProfileLocked(cache).empty();
}

void ResetSrgbTransforms(const std::string& press_profile_path)
{
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.transforms.clear();
    cache.press_path = press_profile_path.empty() ? kDefaultPressProfile : press_profile_path;
    cache.press_read = false;
    cache.press.clear();
}

}  // namespace kestran::pdf
