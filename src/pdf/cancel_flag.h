// The stop request of the running extraction job.
//
// SetCancel(1) arrives on the window thread without any handle on the job, so
// the request is process-wide: it raises a flag that the extraction polls
// between images and sets the abort field of every MuPDF cookie in use, which
// MuPDF polls inside a long page run. Creating the PDF service for the next
// job clears it, so a stop never reaches the next job.
#ifndef KESTRAN_PDF_CANCEL_FLAG_H
#define KESTRAN_PDF_CANCEL_FLAG_H

extern "C" {
#include <mupdf/fitz.h>
}

namespace kestran::pdf {

void RequestCancel();
void ClearCancel();
bool CancelRequested();

// Registers a cookie for the lifetime of the object; a cancel requested before
// or during that time sets its abort field.
class CookieRegistration {
public:
    explicit CookieRegistration(fz_cookie* cookie);
    ~CookieRegistration();
    CookieRegistration(const CookieRegistration&) = delete;
    CookieRegistration& operator=(const CookieRegistration&) = delete;

private:
    fz_cookie* cookie_;
};

}  // namespace kestran::pdf

#endif
