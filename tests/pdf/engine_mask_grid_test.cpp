// An image drawn through a mask finer than itself is written on the mask's
// grid: the mask exactly as MuPDF decodes it, the image's colours repeated
// from the pixel under each target pixel's centre. Held and streamed alike.
#include <gtest/gtest.h>

#include <png.h>
#include <tiffio.h>

#include "pdf/image_extractor.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;

namespace {

// What MuPDF decodes for image object `object`: its colours in RGB at its
// own size, and its mask's opacity at the mask's own size.
struct Decoded {
    int w = 0, h = 0, mw = 0, mh = 0;
    std::vector<uint8_t> rgb;
    std::vector<uint8_t> alpha;
};

Decoded DecodeWithMupdf(const std::string& pdf, int object)
{
    Decoded d;
    fz_context* ctx = fz_new_context(nullptr, nullptr, FZ_STORE_DEFAULT);
    fz_register_document_handlers(ctx);
    fz_stream* stm = nullptr;
    fz_document* doc = nullptr;
    pdf_obj* ref = nullptr;
    fz_image* img = nullptr;
    fz_pixmap* pix = nullptr;
    fz_pixmap* rgb = nullptr;
    fz_pixmap* mask = nullptr;
    fz_var(stm), fz_var(doc), fz_var(ref), fz_var(img), fz_var(pix), fz_var(rgb), fz_var(mask);
    fz_try(ctx)
    {
        stm = fz_open_memory(ctx, reinterpret_cast<const unsigned char*>(pdf.data()), pdf.size());
        doc = fz_open_document_with_stream(ctx, "pdf", stm);
        pdf_document* pdoc = pdf_document_from_fz_document(ctx, doc);
        ref = pdf_new_indirect(ctx, pdoc, object, 0);
        img = pdf_load_image(ctx, pdoc, ref);
        pix = fz_get_unscaled_pixmap_from_image(ctx, img);
        rgb = fz_convert_pixmap(ctx, pix, fz_device_rgb(ctx), nullptr, nullptr, fz_default_color_params, 0);
        mask = fz_get_unscaled_pixmap_from_image(ctx, img->mask);
        d.w = fz_pixmap_width(ctx, rgb);
        d.h = fz_pixmap_height(ctx, rgb);
        for (int y = 0; y < d.h; ++y) {
            const unsigned char* s = fz_pixmap_samples(ctx, rgb) + static_cast<size_t>(y) * fz_pixmap_stride(ctx, rgb);
            d.rgb.insert(d.rgb.end(), s, s + 3 * d.w);
        }
        d.mw = fz_pixmap_width(ctx, mask);
        d.mh = fz_pixmap_height(ctx, mask);
        const int n = fz_pixmap_components(ctx, mask);
        const int channel = fz_pixmap_alpha(ctx, mask) ? n - 1 : 0;
        for (int y = 0; y < d.mh; ++y)
            for (int x = 0; x < d.mw; ++x)
                d.alpha.push_back(fz_pixmap_samples(ctx, mask)[static_cast<size_t>(y) * fz_pixmap_stride(ctx, mask) +
                                                               static_cast<size_t>(x) * n + channel]);
    }
    fz_always(ctx)
    {
        fz_drop_pixmap(ctx, mask);
        fz_drop_pixmap(ctx, rgb);
        fz_drop_pixmap(ctx, pix);
        fz_drop_image(ctx, img);
        pdf_drop_obj(ctx, ref);
        fz_drop_document(ctx, doc);
        fz_drop_stream(ctx, stm);
    }
    fz_catch(ctx) { d = Decoded(); }
    fz_drop_context(ctx);
    return d;
}

// Extracts `pdf` into `out` with one worker; the log lines come back.
std::vector<std::string> Extract(const std::string& pdf, const fs::path& dir, size_t stream_bytes)
{
    WriteFile(dir / "doc.pdf", pdf);
    fs::create_directory(dir / "out");
    kestran::pdf::ExtractOptions options;
    options.workers = 1;
    options.stream_bytes = stream_bytes;
    std::vector<std::string> lines;
    options.log = [&](const std::string& line) { lines.push_back(line); };
    EXPECT_EQ(kestran::pdf::ExtractImagesFromFile((dir / "doc.pdf").c_str(), "1-", (dir / "out").c_str(), nullptr,
                                                  nullptr, nullptr, options),
              KESTRAN_EXTRACT_OK);
    return lines;
}

struct FineCase {
    FineMask kind;
    int w, h, mw, mh;
};

std::string CaseName(const ::testing::TestParamInfo<FineCase>& info)
{
    const FineCase& c = info.param;
    return std::string(FineMaskName(c.kind)) + "_" + std::to_string(c.w) + "x" + std::to_string(c.h) + "_mask_" +
           std::to_string(c.mw) + "x" + std::to_string(c.mh);
}

class FineMaskGrid : public ::testing::TestWithParam<FineCase> {};

TEST_P(FineMaskGrid, ImageSpreadOntoTheMaskKeptWhole)
{
    const FineCase& c = GetParam();
    const FixturePdf pdf = MakeFineMaskPdf(c.kind, c.w, c.h, c.mw, c.mh);
    const Decoded ref = DecodeWithMupdf(pdf.bytes, pdf.images[0].object);
    ASSERT_EQ(ref.w, c.w);
    ASSERT_EQ(ref.mw, c.mw);
    for (size_t stream_bytes : {kestran::pdf::kDefaultStandInBytes, size_t(0)}) {
        SCOPED_TRACE("stream_bytes " + std::to_string(stream_bytes));
        TempDir dir("kestran-fine-mask");
        EXPECT_TRUE(Extract(pdf.bytes, dir.path(), stream_bytes).empty());
        ASSERT_EQ(ListFiles(dir / "out"), ExpectedNames(pdf, "doc"));
        const std::string bytes = ReadFile(dir / "out" / ExpectedNames(pdf, "doc")[0]);
        std::vector<uint8_t> rgba;
        int width = 0, height = 0;
        if (pdf.images[0].ext == "tif") {
            TiffImage tiff;
            ASSERT_TRUE(DecodeTiff(bytes, &tiff));
            EXPECT_TRUE(tiff.unassociated_alpha);
            width = tiff.width, height = tiff.height, rgba = tiff.rgba;
        } else {
            PngImage png;
            ASSERT_TRUE(DecodePng(bytes, &png));
            EXPECT_TRUE(png.color_type & PNG_COLOR_MASK_ALPHA);
            EXPECT_EQ(png.bit_depth, c.kind == FineMask::Gray16 ? 16 : 8);
            width = png.width, height = png.height, rgba = png.rgba;
            if (c.kind == FineMask::IccRgb) {
                // The profiles are made anew: all but their creation date (bytes 24 to 35) is the same.
                const std::string profile = PngIccProfile(bytes);
                ASSERT_GT(profile.size(), 36u) << "no iCCP";
                EXPECT_EQ(profile.substr(36), MakeSrgbProfile().substr(36));
            }
        }
        const bool finer = c.mw * c.mh > c.w * c.h;
        ASSERT_EQ(width, finer ? c.mw : c.w);
        ASSERT_EQ(height, finer ? c.mh : c.h);
        if (!finer)
            continue;  // drawn at the image's size, as before: only the profile is in question
        int colour_off = 0, alpha_off = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint8_t* got = &rgba[(static_cast<size_t>(y) * width + x) * 4];
                const size_t sx = (2 * static_cast<size_t>(x) + 1) * c.w / (2 * c.mw);
                const size_t sy = (2 * static_cast<size_t>(y) + 1) * c.h / (2 * c.mh);
                const uint8_t* want = &ref.rgb[(sy * c.w + sx) * 3];
                for (int k = 0; k < 3; ++k)
                    colour_off = std::max(colour_off, std::abs(got[k] - want[k]));
                alpha_off = std::max(alpha_off, std::abs(got[3] - ref.alpha[static_cast<size_t>(y) * width + x]));
            }
        EXPECT_LE(colour_off, 1) << "colours not the image's, repeated";
        EXPECT_EQ(alpha_off, 0) << "the mask changed";
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FineMaskGrid,
                         ::testing::Values(FineCase{FineMask::Soft, 2, 2, 400, 300},
                                           FineCase{FineMask::Stencil, 2, 2, 400, 300},
                                           FineCase{FineMask::Soft, 100, 100, 1000, 1000},
                                           FineCase{FineMask::Gray16, 3, 2, 300, 200},
                                           FineCase{FineMask::Cmyk, 2, 2, 400, 300},
                                           FineCase{FineMask::IccRgb, 2, 2, 400, 300},
                                           FineCase{FineMask::IccRgb, 40, 30, 40, 30},
                                           FineCase{FineMask::IccRgb, 40, 30, 20, 15},
                                           FineCase{FineMask::Indexed, 5, 4, 400, 300},
                                           FineCase{FineMask::JpegSoft, 3, 3, 320, 240}),
                         CaseName);

// Images that share their samples and differ in their masks are different
// pictures: none is merged as a duplicate.
TEST(FineMaskGridDedupe, FourMasksFourFiles)
{
    const FixturePdf pdf = MakeFourMasksPdf();
    TempDir dir("kestran-four-masks");
    EXPECT_TRUE(Extract(pdf.bytes, dir.path(), kestran::pdf::kDefaultStandInBytes).empty());
    EXPECT_EQ(ListFiles(dir / "out"), ExpectedNames(pdf, "doc"));
}

}  // namespace
