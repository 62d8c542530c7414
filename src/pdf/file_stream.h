// The input file as MuPDF reads it.
//
// MuPDF's own file stream cannot be interrupted: opening a huge damaged file
// makes it lex every byte while it rebuilds the cross-reference table. This
// stream reads the file through a buffer of its own and refuses to go on once
// a stop is requested for the calling thread (StopRequestedHere), so opening
// and repairing end within one buffer's worth of work. It can also show only
// the start of a file, followed by a few bytes of its own: the salvage of a
// truncated file opens the file cut back to its last complete object that
// way, without a copy of the file in memory.
#ifndef KESTRAN_PDF_FILE_STREAM_H
#define KESTRAN_PDF_FILE_STREAM_H

#include <cstdint>
#include <string>

extern "C" {
#include <mupdf/fitz.h>
}

namespace kestran::pdf {

// Opens `path` (UTF-8) read-only as a seekable stream of its first `length`
// bytes (the whole file when negative or past its end) followed by `tail`
// (at most 15 bytes, may be null). Throws like fz_open_file. Once a stop is
// requested, refills end the data (MuPDF reads that as the end of the file)
// and seeks throw.
fz_stream* OpenFileView(fz_context* ctx, const std::string& path, int64_t length = -1, const char* tail = nullptr);

// Offset just past the last "endobj" keyword among the first `size` bytes of
// the open file `fd`, read backwards a block at a time; 0 when there is none,
// when the file cannot be read, or when a stop is requested.
int64_t LastCompleteObjectEnd(int fd, int64_t size);

}  // namespace kestran::pdf

#endif
