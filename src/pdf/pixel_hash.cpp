#include "pdf/pixel_hash.h"

#include <cstring>

namespace kestran::pdf {
namespace {

// The constants of one of the two hashes: five odd multipliers and the
// round's rotation. The first set is xxHash64's; the second comes from
// wyhash, so that the two halves share no structure beyond the shape.
struct Constants {
    uint64_t k[5];
    int rotation;
};
constexpr Constants kFirst = {
    {0x9E3779B185EBCA87ULL, 0xC2B2AE3D27D4EB4FULL, 0x165667B19E3779F9ULL, 0x85EBCA77C2B2AE63ULL,
     0x27D4EB2F165667C5ULL},
    31};
constexpr Constants kSecond = {
    {0xA0761D6478BD642FULL, 0xE7037ED1A0B428DBULL, 0x8EBC6AF09C88C6E3ULL, 0x589965CC75374CC3ULL,
     0x1D8E4E27C47D124FULL},
    29};

inline uint64_t Rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline uint64_t Read64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline uint32_t Read32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline uint64_t Round(const Constants& c, uint64_t acc, uint64_t input)
{
    acc += input * c.k[1];
    acc = Rotl(acc, c.rotation);
    return acc * c.k[0];
}

void Start(const Constants& c, uint64_t v[4])
{
    v[0] = c.k[0] + c.k[1];
    v[1] = c.k[1];
    v[2] = 0;
    v[3] = 0 - c.k[0];
}

uint64_t Final(const Constants& c, const uint64_t v[4], uint64_t total, const uint8_t* tail, size_t size)
{
    uint64_t h = Rotl(v[0], 1) + Rotl(v[1], 7) + Rotl(v[2], 12) + Rotl(v[3], 18);
    for (int i = 0; i < 4; ++i)
        h = (h ^ Round(c, 0, v[i])) * c.k[0] + c.k[3];
    h += total;
    for (; size >= 8; tail += 8, size -= 8)
        h = Rotl(h ^ Round(c, 0, Read64(tail)), 27) * c.k[0] + c.k[3];
    if (size >= 4) {
        h = Rotl(h ^ (Read32(tail) * c.k[0]), 23) * c.k[1] + c.k[2];
        tail += 4;
        size -= 4;
    }
    for (; size > 0; ++tail, --size)
        h = Rotl(h ^ (*tail * c.k[4]), 11) * c.k[0];
    h ^= h >> 33;
    h *= c.k[1];
    h ^= h >> 29;
    h *= c.k[2];
    h ^= h >> 32;
    return h;
}

}  // namespace

PixelHasher::PixelHasher()
{
    Start(kFirst, a_.v);
    Start(kSecond, b_.v);
}

void PixelHasher::Stripe(const uint8_t* p)
{
    for (int i = 0; i < 4; ++i) {
        const uint64_t word = Read64(p + 8 * i);
        a_.v[i] = Round(kFirst, a_.v[i], word);
        b_.v[i] = Round(kSecond, b_.v[i], word);
    }
}

void PixelHasher::Add(const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    total_ += size;
    if (buffered_ > 0) {
        const size_t take = size < 32 - buffered_ ? size : 32 - buffered_;
        std::memcpy(buffer_ + buffered_, data, take);
        buffered_ += take;
        data += take;
        size -= take;
        if (buffered_ < 32)
            return;
        Stripe(buffer_);
        buffered_ = 0;
    }
    for (; size >= 32; data += 32, size -= 32)
        Stripe(data);
    std::memcpy(buffer_, data, size);
    buffered_ = size;
}

void PixelHasher::AddNumber(uint64_t value)
{
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    Add(bytes, 8);
}

void PixelHasher::AddBytes(const std::vector<uint8_t>& bytes)
{
    AddNumber(bytes.size());
    Add(bytes.data(), bytes.size());
}

PixelHash PixelHasher::Finish() const
{
    PixelHash hash;
    hash.first = Final(kFirst, a_.v, total_, buffer_, buffered_);
    hash.second = Final(kSecond, b_.v, total_, buffer_, buffered_);
    return hash;
}

void FlatWatch::Add(const uint8_t* data, size_t size)
{
    const size_t pixel = first_.size();
    while (flat_ && size > 0) {
        if (filled_ < pixel) {
            const size_t take = size < pixel - filled_ ? size : pixel - filled_;
            std::memcpy(first_.data() + filled_, data, take);
            filled_ += take;
            data += take;
            size -= take;
            if (filled_ == pixel)
                for (size_t i = 0; i < (256 / pixel + 1) * pixel; ++i)
                    run_.push_back(first_[i % pixel]);
            continue;
        }
        if (offset_ == 0 && size >= run_.size()) {
            if (std::memcmp(run_.data(), data, run_.size()) != 0)
                flat_ = false;
            data += run_.size();
            size -= run_.size();
            continue;
        }
        const size_t take = size < pixel - offset_ ? size : pixel - offset_;
        if (std::memcmp(first_.data() + offset_, data, take) != 0)
            flat_ = false;
        offset_ = (offset_ + take) % pixel;
        data += take;
        size -= take;
    }
}

}  // namespace kestran::pdf
