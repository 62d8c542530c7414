// File sizes as the program writes them, without wxWidgets
// (FileUtil::FormatSize wraps it).
#ifndef KESTRAN_COMMON_SIZE_TEXT_H
#define KESTRAN_COMMON_SIZE_TEXT_H

#include <cstdint>
#include <string>

namespace kestran {

// "0.0B", "1.5KB", "1.0MB", "1024.0GB": one decimal in binary units, always
// a point whatever the locale.
std::string FormatSize(uint64_t bytes);

}  // namespace kestran

#endif
