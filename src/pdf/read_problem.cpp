#include "pdf/read_problem.h"

#include <cstdio>
#include <string_view>

#include "pdf/mu_context.h"
#include "pdf/pdf_open.h"
#include "pdf/pdf_service.h"

// The engine has no message catalogue; the window translates these phrases.
// The mark only lets the catalogue's extraction find them.
#ifndef wxTRANSLATE
#define wxTRANSLATE(text) text
#endif

namespace kestran::pdf {

namespace {

// MuPDF finds the header anywhere in the first kilobyte, as readers do.
bool HasPdfHeader(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char start[1024];
    const size_t got = std::fread(start, 1, sizeof start, file);
    std::fclose(file);
    return std::string_view(start, got).find("%PDF") != std::string_view::npos;
}

}  // namespace

FailureReason OpenFailureReason(const std::string& path, bool needs_password)
{
    FailureReason reason;
    reason.detail = ReadProblem(path);
    if (!reason.detail.empty())
        reason.text = wxTRANSLATE("cannot be read");
    else if (needs_password)
        reason.text = wxTRANSLATE("needs a password");
    else if (!HasPdfHeader(path))
        reason.text = wxTRANSLATE("not a PDF");
    else
        reason.text = wxTRANSLATE("damaged beyond repair");
    return reason;
}

FailureReason ExtractFailureReason(const std::string& source, int result)
{
    FailureReason reason;
    switch (result) {
    case KESTRAN_EXTRACT_CANNOT_OPEN: {
        bool needs_password = false;
        if (ReadProblem(source).empty()) {
            MuContextPtr ctx = NewThreadContext();
            OpenedPdf pdf;
            needs_password = ctx && OpenPdf(ctx.get(), source, pdf) == OpenStatus::NeedsPassword;
        }
        return OpenFailureReason(source, needs_password);
    }
    case KESTRAN_EXTRACT_NO_PAGE: reason.text = wxTRANSLATE("the page range does not fit the pages of the file"); break;
    case KESTRAN_EXTRACT_OUTPUT_FOLDER: reason.text = wxTRANSLATE("the output folder is missing or not writable"); break;
    case KESTRAN_EXTRACT_WRITE_FAILED: reason.text = wxTRANSLATE("an image could not be written (disk full?)"); break;
    case KESTRAN_EXTRACT_CANCELLED: reason.text = wxTRANSLATE("interrupted"); break;
    case KESTRAN_EXTRACT_BAD_ARGUMENT: reason.text = wxTRANSLATE("bad argument"); break;
    case KESTRAN_EXTRACT_OUT_OF_MEMORY: reason.text = wxTRANSLATE("out of memory"); break;
    default: reason.text = wxTRANSLATE("failed"); break;
    }
    return reason;
}

}  // namespace kestran::pdf
