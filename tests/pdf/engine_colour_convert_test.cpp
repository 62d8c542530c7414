// The engine's colour conversion (spans, and a table of distinct inputs for
// tint transforms) against one fz_convert_pixmap call over the whole pixmap:
// the bytes must be the same for every colour space that runs a function,
// with and without alpha, into RGB and CMYK, whole and a block of rows at a
// time, including images with more distinct colours than the table keeps.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pdf/cancel_flag.h"
#include "pdf/colour_convert.h"
#include "pdf/mu_context.h"
#include "pdf/mu_try.h"
#include "support/bomb_fixtures.h"

using namespace fixtures;
using namespace kestran::pdf;

namespace {

// The colour space of the image of a tint fixture with `inks` inks (1 is a
// Separation), kept by the returned handle.
ColorspaceHandle TintSpace(fz_context* ctx, int inks, int operators = 30)
{
    const std::string bytes = MakeTintFunctionPdf(2, operators, inks).bytes;
    fz_stream* stm = nullptr;
    pdf_document* doc = nullptr;
    fz_colorspace* cs = nullptr;
    MuTry(ctx, [&] {
        stm = fz_open_memory(ctx, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        doc = pdf_open_document_with_stream(ctx, stm);
        for (int num = 1; num < pdf_xref_len(ctx, doc) && cs == nullptr; ++num) {
            pdf_obj* obj = pdf_new_indirect(ctx, doc, num, 0);
            if (pdf_name_eq(ctx, pdf_dict_get(ctx, obj, PDF_NAME(Subtype)), PDF_NAME(Image))) {
                fz_image* img = pdf_load_image(ctx, doc, obj);
                cs = fz_keep_colorspace(ctx, img->colorspace);
                fz_drop_image(ctx, img);
            }
            pdf_drop_obj(ctx, obj);
        }
    });
    PdfDocumentHandle doc_held(ctx, doc);
    StreamHandle stm_held(ctx, stm);
    return ColorspaceHandle(ctx, cs);
}

// Pseudo-random pixels; with alpha, colours premultiplied as MuPDF holds them.
PixmapHandle NoisePixmap(fz_context* ctx, fz_colorspace* cs, int w, int h, bool alpha, uint32_t seed)
{
    fz_pixmap* pix = nullptr;
    MuTry(ctx, [&] { pix = fz_new_pixmap(ctx, cs, w, h, nullptr, alpha ? 1 : 0); });
    if (pix == nullptr)
        return PixmapHandle();
    const int n = fz_pixmap_components(ctx, pix);
    unsigned char* s = fz_pixmap_samples(ctx, pix);
    for (size_t i = 0; i < static_cast<size_t>(w) * h; ++i, s += n) {
        seed = seed * 1664525u + 1013904223u;
        const unsigned a = alpha ? (seed >> 24) : 255;
        for (int c = 0; c < n - (alpha ? 1 : 0); ++c)
            s[c] = static_cast<unsigned char>(((seed >> (5 * c + 3)) & 0xff) * a / 255);
        if (alpha)
            s[n - 1] = static_cast<unsigned char>(a);
    }
    return PixmapHandle(ctx, pix);
}

std::vector<uint8_t> Bytes(fz_context* ctx, fz_pixmap* pix)
{
    if (pix == nullptr)
        return {};
    const unsigned char* s = fz_pixmap_samples(ctx, pix);
    return std::vector<uint8_t>(s, s + static_cast<size_t>(fz_pixmap_stride(ctx, pix)) * fz_pixmap_height(ctx, pix));
}

struct ConvertCase {
    int inks;
    bool alpha;
    bool to_cmyk;
    int width;
    int height;
};

class ColourConversion : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(ColourConversion, GivesTheBytesOfOneMuPdfCall)
{
    const ConvertCase& c = GetParam();
    MuContextPtr owner = NewThreadContext();
    fz_context* ctx = owner.get();
    const ColorspaceHandle cs = TintSpace(ctx, c.inks);
    ASSERT_TRUE(cs);
    ASSERT_EQ(fz_colorspace_n(ctx, cs.get()), c.inks);
    fz_colorspace* to = c.to_cmyk ? fz_device_cmyk(ctx) : fz_device_rgb(ctx);
    const PixmapHandle pix = NoisePixmap(ctx, cs.get(), c.width, c.height, c.alpha, 7u * c.inks + c.width);
    ASSERT_TRUE(pix);
    fz_pixmap* whole = nullptr;
    ASSERT_TRUE(MuTry(ctx, [&] {
        whole = fz_convert_pixmap(ctx, pix.get(), to, nullptr, nullptr, fz_default_color_params, 1);
    }));
    const PixmapHandle expected(ctx, whole);

    const PixmapHandle converted = ConvertPixmap(ctx, pix.get(), to, true);
    ASSERT_TRUE(converted);
    EXPECT_EQ(fz_pixmap_alpha(ctx, converted.get()), c.alpha ? 1 : 0);
    EXPECT_TRUE(Bytes(ctx, converted.get()) == Bytes(ctx, whole));

    // Blocks of rows through one converter, as a streamed image goes.
    ColourConverter converter(ctx, cs.get(), c.alpha, to, true);
    const int n = fz_pixmap_components(ctx, pix.get());
    std::vector<uint8_t> rows;
    for (int y = 0; y < c.height; y += 37) {
        const int count = std::min(37, c.height - y);
        fz_pixmap* view = nullptr;
        ASSERT_TRUE(MuTry(ctx, [&] {
            view = fz_new_pixmap_with_data(ctx, cs.get(), c.width, count, nullptr, c.alpha ? 1 : 0, c.width * n,
                                           fz_pixmap_samples(ctx, pix.get()) + static_cast<size_t>(y) * c.width * n);
        }));
        const PixmapHandle view_held(ctx, view);
        const PixmapHandle block = converter.Convert(view);
        ASSERT_TRUE(block);
        const std::vector<uint8_t> b = Bytes(ctx, block.get());
        rows.insert(rows.end(), b.begin(), b.end());
    }
    EXPECT_TRUE(rows == Bytes(ctx, whole));
    if (c.inks <= 2) {  // at most 65536 distinct inputs, each converted once
        EXPECT_LE(converter.DistinctInputs(), size_t(1) << (8 * (c.inks + (c.alpha ? 1 : 0))));
    }
}

INSTANTIATE_TEST_SUITE_P(
    TintTransforms, ColourConversion,
    ::testing::Values(ConvertCase{1, false, false, 300, 300}, ConvertCase{1, true, false, 300, 300},
                      ConvertCase{1, false, true, 300, 300}, ConvertCase{2, false, false, 300, 300},
                      ConvertCase{2, true, true, 300, 300}, ConvertCase{3, false, false, 300, 300},
                      ConvertCase{3, true, false, 120, 90},
                      // More distinct colours than the table keeps: the rest goes span by span.
                      ConvertCase{4, false, false, 400, 400}, ConvertCase{4, true, true, 400, 400},
                      // Fewer pixels than MuPDF's own table needs.
                      ConvertCase{2, false, false, 7, 5}),
    [](const ::testing::TestParamInfo<ConvertCase>& info) {
        const ConvertCase& c = info.param;
        return "Inks" + std::to_string(c.inks) + (c.alpha ? "Alpha" : "") + (c.to_cmyk ? "ToCmyk" : "ToRgb") +
               std::to_string(c.width) + "x" + std::to_string(c.height);
    });

// A long tint transform for every pixel: a few seconds in one MuPDF call.
// Stopped from another thread, the conversion gives up instead of finishing.
TEST(ColourConversionStop, AStopEndsALongTintConversion)
{
    struct StopGuard {
        ~StopGuard() { ClearCancel(); }
    } guard;
    MuContextPtr owner = NewThreadContext();
    fz_context* ctx = owner.get();
    const ColorspaceHandle cs = TintSpace(ctx, 4, 2000);
    ASSERT_TRUE(cs);
    const PixmapHandle pix = NoisePixmap(ctx, cs.get(), 300, 300, false, 11);
    ASSERT_TRUE(pix);
    std::thread stopper([] { RequestCancel(); });
    const PixmapHandle converted = ConvertPixmap(ctx, pix.get(), fz_device_rgb(ctx), false);
    stopper.join();
    EXPECT_FALSE(converted);
}

}  // namespace
