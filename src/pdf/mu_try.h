// Runs MuPDF calls under fz_try and turns a MuPDF error into a return value.
//
// MuPDF reports errors with longjmp: the callable must only call C functions
// and assign to variables that outlive it, never own C++ objects with
// destructors, because a longjmp skips them.
//
// A C++ exception thrown by the callable (std::bad_alloc from a container, an
// exception of our own) is caught inside the MuPDF frame and thrown again
// once fz_always and fz_catch have run: leaving through fz_try would skip
// MuPDF's frame bookkeeping and leave the context's error stack one frame too
// deep, so that a later fz_throw jumps into a frame that no longer exists.
#ifndef KESTRAN_PDF_MU_TRY_H
#define KESTRAN_PDF_MU_TRY_H

#include <exception>
#include <string>

extern "C" {
#include <mupdf/fitz.h>
}

namespace kestran::pdf {

template <typename F>
bool MuTry(fz_context* ctx, F&& body, std::string* error = nullptr)
{
    // Set only when the body returns normally (by throwing), never before a
    // longjmp, so its value after fz_catch needs no volatile.
    std::exception_ptr escaped;
    volatile bool failed = false;  // set after a longjmp
    fz_try(ctx)
    {
        try {
            body();
        } catch (...) {
            escaped = std::current_exception();
        }
    }
    fz_catch(ctx)
    {
        if (error != nullptr)
            *error = fz_caught_message(ctx);
        failed = true;
    }
    if (escaped)
        std::rethrow_exception(escaped);
    return !failed;
}

}  // namespace kestran::pdf

#endif
