// Telling a file that cannot be read apart from one that is no PDF, and
// saying in words why a file failed.
#ifndef KESTRAN_PDF_READ_PROBLEM_H
#define KESTRAN_PDF_READ_PROBLEM_H

#include <string>

#include "pdf/file_problem.h"

namespace kestran::pdf {

// Why a file failed, as the command line prints it and the window shows it.
// `text` is one fixed English phrase (the window looks it up in its message
// catalogue); `detail` holds the system's own words when there are any
// ("Permission denied"), else it is empty.
struct FailureReason {
    const char* text = "";
    std::string detail;
    // "text", or "text: detail".
    std::string Line() const { return detail.empty() ? std::string(text) : std::string(text) + ": " + detail; }
};

// For a file that does not open: "cannot be read" (with ReadProblem's
// words), "needs a password", "not a PDF" (no "%PDF" near its start) or
// "damaged beyond repair".
FailureReason OpenFailureReason(const std::string& path, bool needs_password);

// For a non-zero result of ExtractImages on `source` (KestranExtractResult).
// A file that cannot be opened is looked at again to tell which of the
// reasons of OpenFailureReason holds. Any thread.
FailureReason ExtractFailureReason(const std::string& source, int result);

}  // namespace kestran::pdf

#endif
