#include "pdf/checksums.h"

#include <algorithm>

#include <zlib.h>

#ifdef KESTRAN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace kestran::pdf {
namespace {

// zlib takes at most 4 GiB at a time.
template <typename F>
uint32_t InParts(uint32_t value, const uint8_t* data, size_t size, F&& update)
{
    while (size > 0) {
        const uInt part = static_cast<uInt>(std::min<size_t>(size, size_t(1) << 30));
        value = static_cast<uint32_t>(update(value, data, part));
        data += part;
        size -= part;
    }
    return value;
}

}  // namespace

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size)
{
#ifdef KESTRAN_HAVE_LIBDEFLATE
    return libdeflate_crc32(crc, data, size);
#else
    return InParts(crc, data, size, [](uLong c, const Bytef* d, uInt n) { return crc32(c, d, n); });
#endif
}

uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t size)
{
#ifdef KESTRAN_HAVE_LIBDEFLATE
    return libdeflate_adler32(adler, data, size);
#else
    return InParts(adler, data, size, [](uLong a, const Bytef* d, uInt n) { return adler32(a, d, n); });
#endif
}

}  // namespace kestran::pdf
