// CRC-32 and Adler-32 (the zlib ones), in libdeflate's vectorised form when
// the build has it; any length, continued from an earlier value.
#ifndef KESTRAN_PDF_CHECKSUMS_H
#define KESTRAN_PDF_CHECKSUMS_H

#include <cstddef>
#include <cstdint>

namespace kestran::pdf {

constexpr uint32_t kCrc32Start = 0;
constexpr uint32_t kAdler32Start = 1;

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size);
uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t size);

}  // namespace kestran::pdf

#endif
