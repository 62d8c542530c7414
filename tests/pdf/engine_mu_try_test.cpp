// MuTry and C++ exceptions: one thrown inside the MuPDF frame leaves it as a
// C++ exception, and MuPDF's error frames still work afterwards (under the
// sanitizers a frame left on the stack shows as a jump into a dead frame).
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "pdf/mu_context.h"
#include "pdf/mu_try.h"

namespace {

using kestran::pdf::MuTry;

TEST(MuTry, ACppExceptionLeavesTheFrameAndMuPdfErrorsStillLandInTheirOwn)
{
    kestran::pdf::MuContextPtr ctx = kestran::pdf::NewThreadContext();
    ASSERT_TRUE(ctx);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        // Thrown from inside a MuPDF call's frame: a buffer allocated there
        // is dropped by fz_always before the exception goes on.
        fz_buffer* volatile held = nullptr;
        EXPECT_THROW(MuTry(ctx.get(), [&] {
                         fz_try(ctx.get())
                         {
                             held = fz_new_buffer(ctx.get(), 16);
                             throw std::runtime_error("ours");
                         }
                         fz_always(ctx.get()) {}
                         fz_catch(ctx.get()) { fz_rethrow(ctx.get()); }
                     }),
                     std::runtime_error);
        fz_drop_buffer(ctx.get(), held);

        // MuPDF's own errors after it: each caught by the frame it was thrown in.
        std::string error;
        EXPECT_FALSE(MuTry(ctx.get(), [&] { fz_throw(ctx.get(), FZ_ERROR_GENERIC, "first %d", round); }, &error));
        EXPECT_EQ(error, "first " + std::to_string(round));
        bool inner_caught = false;
        EXPECT_TRUE(MuTry(ctx.get(), [&] {
            fz_try(ctx.get()) { fz_throw(ctx.get(), FZ_ERROR_GENERIC, "inner"); }
            fz_catch(ctx.get()) { inner_caught = true; }
        }));
        EXPECT_TRUE(inner_caught);
    }
}

}  // namespace
