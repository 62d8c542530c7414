// The tool library's file opener. Paths arrive as UTF-8, which is what the
// C library takes on this platform, so this is fopen with a guard for nulls.
#include "pdf/pdf_service.h"

#include <cerrno>
#include <cstdio>

extern "C" FILE* NIMBfopen(const char* path, const char* mode)
{
    if (path == nullptr || mode == nullptr || *path == '\0') {
        errno = EINVAL;
        return nullptr;
    }
    return std::fopen(path, mode);
}
