#include "pdf/decoder_lock.h"

#include <array>
#include <mutex>

namespace kestran::pdf {
namespace {

constexpr int kStripes = 64;

std::array<std::mutex, kStripes>& Stripes()
{
    static std::array<std::mutex, kStripes> stripes;
    return stripes;
}

// The stripes this thread holds, over all its SharedDecoderLocks.
thread_local uint64_t t_held = 0;

int StripeOf(const void* state)
{
    // Fibonacci hashing: allocations are aligned, so the low bits say little.
    const uint64_t x = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(state)) * 0x9E3779B97F4A7C15ull;
    return static_cast<int>(x >> 58);  // top 6 bits: 0..63
}

}  // namespace

std::vector<const void*> SharedCodecStates(fz_context* ctx, fz_image* img)
{
    std::vector<const void*> states;
    // A mask may carry a mask of its own in a damaged file; a few levels suffice.
    for (int depth = 0; img != nullptr && depth < 4; ++depth, img = img->mask) {
        // Null for images that hold no compressed buffer (decoded JPEG 2000,
        // pixmaps, stand-ins).
        const fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx, img);
        if (cbuf != nullptr && cbuf->params.type == FZ_IMAGE_JBIG2 && cbuf->params.u.jbig2.globals != nullptr)
            states.push_back(cbuf->params.u.jbig2.globals);
    }
    return states;
}

SharedDecoderLock::SharedDecoderLock(fz_context* ctx, fz_image* img)
{
    uint64_t wanted = 0;
    for (const void* state : SharedCodecStates(ctx, img))
        wanted |= uint64_t(1) << StripeOf(state);
    wanted &= ~t_held;
    for (int i = 0; i < kStripes; ++i)
        if ((wanted >> i) & 1u)
            Stripes()[static_cast<size_t>(i)].lock();
    taken_ = wanted;
    t_held |= taken_;
}

SharedDecoderLock::~SharedDecoderLock()
{
    t_held &= ~taken_;
    for (int i = kStripes - 1; i >= 0; --i)
        if ((taken_ >> i) & 1u)
            Stripes()[static_cast<size_t>(i)].unlock();
}

}  // namespace kestran::pdf
