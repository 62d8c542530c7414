// Opening a PDF for reading, with the salvage of truncated files.
#ifndef KESTRAN_PDF_PDF_OPEN_H
#define KESTRAN_PDF_PDF_OPEN_H

#include <string>

#include "pdf/mu_context.h"

namespace kestran::pdf {

// CannotRead: the file itself cannot be read (ReadProblem says why), as
// opposed to CannotOpen, a file read that is not a PDF or is beyond repair.
enum class OpenStatus { Ok, CannotOpen, NeedsPassword, CannotRead };

struct OpenedPdf {
    PdfDocumentHandle doc;
    int page_count = 0;
    bool repaired = false;   // MuPDF rebuilt the cross-reference table
    bool salvaged = false;   // opened from the file cut back to its last complete object
};

// Opens `path` (UTF-8) read-only. Tries the file as it is first (MuPDF repairs
// a damaged cross-reference table by itself); when that fails or finds no
// page, tries the file cut back after its last complete "endobj" (read in
// place, not copied), since a file cut off in the middle of an object often
// opens then. An encrypted file opens only when the empty password unlocks it.
// The file is read through a stream that a stop request for the calling
// thread ends (file_stream.h): the open then fails with CannotOpen.
// Ok means: opened, no password needed, at least one page.
OpenStatus OpenPdf(fz_context* ctx, const std::string& path, OpenedPdf& out);

}  // namespace kestran::pdf

#endif
