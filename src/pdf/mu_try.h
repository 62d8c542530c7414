// Runs MuPDF calls under fz_try and turns a MuPDF error into a return value.
//
// MuPDF reports errors with longjmp: the callable must only call C functions
// and assign to variables that outlive it, never own C++ objects with
// destructors, because a longjmp skips them.
#ifndef KESTRAN_PDF_MU_TRY_H
#define KESTRAN_PDF_MU_TRY_H

#include <string>

extern "C" {
#include <mupdf/fitz.h>
}

namespace kestran::pdf {

template <typename F>
bool MuTry(fz_context* ctx, F&& body, std::string* error = nullptr)
{
    fz_try(ctx) { body(); }
    fz_catch(ctx)
    {
        if (error != nullptr)
            *error = fz_caught_message(ctx);
        return false;
    }
    return true;
}

}  // namespace kestran::pdf

#endif
