#include "pdf/colour_convert.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <type_traits>

#include "pdf/cancel_flag.h"
#include "pdf/mu_try.h"

namespace kestran::pdf {
namespace {

// At most this many distinct inputs are kept (a few MiB with their keys and
// results); an image with more converts the rest of its pixels span by span.
constexpr size_t kMaxDistinct = size_t(1) << 16;
constexpr size_t kHashSlots = 2 * kMaxDistinct;  // a power of two
constexpr uint32_t kNoSlot = UINT32_MAX;
// Pixels looked up between two stop checks (a few hundred microseconds).
constexpr size_t kLookupPixels = size_t(1) << 16;
// A span of MuPDF's conversion takes 5 to 50 ms: long enough that its fixed
// cost does not count, short enough that a stop is seen at once. A device
// conversion runs about a million pixels in that time, a long tint transform
// a handful.
constexpr size_t kMaxSpan = size_t(1) << 20;
// MuPDF keeps every colour of a span that runs a function in a hash table it
// allocates for the call (counted in the image's budget): those spans stay
// short enough that the table stays small.
constexpr size_t kMaxFunctionSpan = size_t(1) << 14;
constexpr auto kShortSpan = std::chrono::milliseconds(5);
constexpr auto kLongSpan = std::chrono::milliseconds(50);

// Colour spaces whose conversion runs a function for every input: a tint
// transform (Separation and DeviceN) or a palette lookup (Indexed, whose base
// may itself be a Separation).
bool RunsFunction(fz_context* ctx, fz_colorspace* cs)
{
    if (cs == nullptr)
        return false;
    const enum fz_colorspace_type type = fz_colorspace_type(ctx, cs);
    return type == FZ_COLORSPACE_SEPARATION || type == FZ_COLORSPACE_INDEXED;
}

}  // namespace

ColourConverter::ColourConverter(fz_context* ctx, fz_colorspace* from, bool alpha, fz_colorspace* to,
                                 bool keep_alpha)
    : ctx_(ctx),
      from_(from),
      to_(to),
      alpha_(alpha),
      keep_alpha_(keep_alpha && alpha),
      src_n_(static_cast<size_t>((from != nullptr ? fz_colorspace_n(ctx, from) : 0) + (alpha ? 1 : 0))),
      dst_n_(static_cast<size_t>((to != nullptr ? fz_colorspace_n(ctx, to) : 0) + (keep_alpha_ ? 1 : 0)))
{
    const bool runs_function = RunsFunction(ctx, from);
    memoize_ = runs_function && src_n_ <= sizeof(uint64_t);
    max_span_ = runs_function ? kMaxFunctionSpan : kMaxSpan;
}

PixmapHandle ColourConverter::Convert(fz_pixmap* pix)
{
    if (pix == nullptr || fz_pixmap_colorspace(ctx_, pix) != from_ || (fz_pixmap_alpha(ctx_, pix) != 0) != alpha_ ||
        static_cast<size_t>(fz_pixmap_components(ctx_, pix)) != src_n_ || dst_n_ == 0)
        return PixmapHandle();
    const int w = fz_pixmap_width(ctx_, pix);
    const int h = fz_pixmap_height(ctx_, pix);
    fz_pixmap* made = nullptr;
    if (!MuTry(ctx_, [&] {
            made = fz_new_pixmap(ctx_, to_, w, h, nullptr, keep_alpha_ ? 1 : 0);
            fz_set_pixmap_resolution(ctx_, made, pix->xres, pix->yres);
            made->x = pix->x;
            made->y = pix->y;
            made->flags = (made->flags & ~FZ_PIXMAP_FLAG_INTERPOLATE) | (pix->flags & FZ_PIXMAP_FLAG_INTERPOLATE);
        }))
        return PixmapHandle();
    PixmapHandle out(ctx_, made);
    const uint8_t* src = fz_pixmap_samples(ctx_, pix);
    uint8_t* dst = fz_pixmap_samples(ctx_, made);
    const size_t src_stride = static_cast<size_t>(fz_pixmap_stride(ctx_, pix));
    const size_t dst_stride = static_cast<size_t>(fz_pixmap_stride(ctx_, made));
    const size_t width = static_cast<size_t>(w);
    // Rows that follow each other without padding are one run of pixels.
    const bool packed = src_stride == width * src_n_ && dst_stride == width * dst_n_;
    const size_t runs = packed ? 1 : static_cast<size_t>(h);
    const size_t run = packed ? width * static_cast<size_t>(h) : width;
    try {
        for (size_t r = 0; r < runs; ++r)
            if (!ConvertPixels(src + r * src_stride, run, dst + r * dst_stride))
                return PixmapHandle();
    } catch (const std::bad_alloc&) {
        return PixmapHandle();
    }
    return out;
}

bool ColourConverter::ConvertPixels(const uint8_t* src, size_t count, uint8_t* dst)
{
    size_t done = 0;
    while (memoize_ && done < count) {
        if (CancelRequested())
            return false;
        const size_t n = std::min(count - done, kLookupPixels);
        switch (LookUp(src + done * src_n_, n, dst + done * dst_n_)) {
        case Lookup::Done: done += n; break;
        case Lookup::Full: memoize_ = false; break;
        case Lookup::Failed: return false;
        }
    }
    return ConvertSpans(src + done * src_n_, count - done, dst + done * dst_n_);
}

uint32_t& ColourConverter::HashSlot(uint64_t key)
{
    size_t i = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 47) & (kHashSlots - 1);
    while (slots_[i] != kNoSlot && keys_[i] != key)
        i = (i + 1) & (kHashSlots - 1);
    keys_[i] = key;
    return slots_[i];
}

ColourConverter::Lookup ColourConverter::LookUp(const uint8_t* src, size_t count, uint8_t* dst)
{
    // The inputs met for the first time get the next indices; they are
    // converted together, then every pixel copies its input's result.
    const size_t known = outputs_.size() / dst_n_;
    size_t fresh = 0;
    indices_.resize(count);
    pending_.clear();
    if (slots_.empty()) {
        const bool direct = src_n_ <= 2;  // a slot for every value
        slots_.assign(direct ? size_t(1) << (8 * src_n_) : kHashSlots, kNoSlot);
        if (!direct)
            keys_.assign(kHashSlots, 0);
    }
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = src + i * src_n_;
        uint32_t* slot;
        if (src_n_ == 1) {
            slot = &slots_[p[0]];
        } else if (src_n_ == 2) {
            slot = &slots_[p[0] | (p[1] << 8)];
        } else {
            uint64_t key = 0;
            std::memcpy(&key, p, src_n_);
            slot = &HashSlot(key);
        }
        if (*slot == kNoSlot) {
            if (known + fresh >= kMaxDistinct)
                return Lookup::Full;  // the slots handed out are never read again
            *slot = static_cast<uint32_t>(known + fresh++);
            pending_.insert(pending_.end(), p, p + src_n_);
        }
        indices_[i] = *slot;
    }
    outputs_.resize((known + fresh) * dst_n_);
    if (!ConvertSpans(pending_.data(), fresh, outputs_.data() + known * dst_n_)) {
        memoize_ = false;  // results of this block are missing
        return Lookup::Failed;
    }
    CopyResults(count, dst);
    return Lookup::Done;
}

void ColourConverter::CopyResults(size_t count, uint8_t* dst) const
{
    // Copies of a size known here compile to plain moves.
    const auto copy = [&](auto size) {
        constexpr size_t n = decltype(size)::value;
        for (size_t i = 0; i < count; ++i)
            std::memcpy(dst + i * n, outputs_.data() + indices_[i] * n, n);
    };
    switch (dst_n_) {
    case 3: copy(std::integral_constant<size_t, 3>()); break;
    case 4: copy(std::integral_constant<size_t, 4>()); break;
    case 5: copy(std::integral_constant<size_t, 5>()); break;
    default:
        for (size_t i = 0; i < count; ++i)
            std::memcpy(dst + i * dst_n_, outputs_.data() + indices_[i] * dst_n_, dst_n_);
    }
}

bool ColourConverter::ConvertSpans(const uint8_t* src, size_t count, uint8_t* dst)
{
    using Clock = std::chrono::steady_clock;
    for (size_t done = 0; done < count;) {
        if (CancelRequested())
            return false;
        const size_t n = std::min(count - done, span_);
        const Clock::time_point start = Clock::now();
        if (!ConvertSpan(src + done * src_n_, n, dst + done * dst_n_))
            return false;
        const Clock::duration took = Clock::now() - start;
        if (took < kShortSpan && n == span_)
            span_ = std::min(2 * span_, max_span_);
        else if (took > kLongSpan)
            span_ = std::max<size_t>(span_ / 2, 1);
        done += n;
    }
    return true;
}

bool ColourConverter::ConvertSpan(const uint8_t* src, size_t count, uint8_t* dst)
{
    // The span as a pixmap of one row over the caller's bytes (MuPDF only
    // reads them), converted by MuPDF into a pixmap of its own.
    fz_pixmap* view = nullptr;
    fz_pixmap* converted = nullptr;
    const bool ok = MuTry(ctx_, [&] {
        view = fz_new_pixmap_with_data(ctx_, from_, static_cast<int>(count), 1, nullptr, alpha_ ? 1 : 0,
                                       static_cast<int>(count * src_n_), const_cast<uint8_t*>(src));
        converted = fz_convert_pixmap(ctx_, view, to_, nullptr, nullptr, fz_default_color_params, keep_alpha_ ? 1 : 0);
    });
    const PixmapHandle view_held(ctx_, view);
    const PixmapHandle converted_held(ctx_, converted);
    if (!ok || converted == nullptr || static_cast<size_t>(fz_pixmap_components(ctx_, converted)) != dst_n_)
        return false;
    std::memcpy(dst, fz_pixmap_samples(ctx_, converted), count * dst_n_);
    return true;
}

PixmapHandle ConvertPixmap(fz_context* ctx, fz_pixmap* pix, fz_colorspace* to, bool keep_alpha)
{
    if (pix == nullptr)
        return PixmapHandle();
    ColourConverter converter(ctx, fz_pixmap_colorspace(ctx, pix), fz_pixmap_alpha(ctx, pix) != 0, to, keep_alpha);
    return converter.Convert(pix);
}

}  // namespace kestran::pdf
