// Structures that real PDF writers produce and that MuPDF alone does not show
// the way the page is defined.
#include <gtest/gtest.h>
#include <png.h>

#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;
using namespace fixtures;

namespace {

class ProducerQuirks : public ::testing::Test {
protected:
    // Extracts `bytes` (one page) and decodes the single PNG it must give.
    PngImage ExtractOnePng(const std::string& bytes)
    {
        const fs::path source = dir_.path() / "q.pdf";
        const fs::path out = dir_.path() / "out";
        fs::create_directories(out);
        WriteFile(source, bytes);
        EXPECT_EQ(RunExtract(source.string(), "1", out.string()).result, KESTRAN_EXTRACT_OK);
        EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"q-001-01.png"}));
        PngImage png;
        std::string error;
        EXPECT_TRUE(DecodePng(ReadFile(out / "q-001-01.png"), &png, &error)) << error;
        return png;
    }

    TempDir dir_;
};

// A JPEG 2000 file with its own alpha channel, as an image editor writes it:
// RGB samples, then alpha samples that are never fully transparent (so the
// colours survive MuPDF's premultiplied decoding exactly enough to compare).
struct JpxWithAlpha {
    std::string rgb;
    std::string file_alpha;
    std::string jp2;
};

JpxWithAlpha MakeJpxWithAlpha(int w, int h)
{
    JpxWithAlpha j;
    j.rgb = MakeSamples(w, h, 3, 8, 21);
    std::string rgba;
    for (int i = 0; i < w * h; ++i) {
        const char a = static_cast<char>(160 + (i * 7) % 96);
        j.file_alpha += a;
        rgba.append(j.rgb, static_cast<size_t>(i) * 3, 3);
        rgba += a;
    }
    j.jp2 = EncodeJp2(w, h, 4, rgba);
    return j;
}

int MaxColourDifference(const PngImage& png, const std::string& rgb)
{
    int worst = 0;
    for (size_t i = 0; i < rgb.size() / 3; ++i)
        for (int c = 0; c < 3; ++c)
            worst = std::max(worst, std::abs(int(png.rgba[i * 4 + c]) - int(static_cast<uint8_t>(rgb[i * 3 + c]))));
    return worst;
}

// Without /SMaskInData 1 the alpha channel inside the JPEG 2000 data is not
// part of the page: an /SMask is the image's only mask.
TEST_F(ProducerQuirks, JpxAlphaChannelGivesWayToSoftMask)
{
    const int w = 24, h = 16;
    JpxWithAlpha jpx = MakeJpxWithAlpha(w, h);
    PdfWriter pdf;
    std::string soft(static_cast<size_t>(w) * h, '\0');
    for (size_t i = 0; i < soft.size(); ++i)
        soft[i] = static_cast<char>((i * 37) % 256);  // fully transparent to opaque
    ImageObject mask = FlateImageFromSamples(w, h, "/DeviceGray", 1, 8, soft);
    const int mask_num = pdf.AddStream(mask.dict, mask.stream);
    const std::string dict = "/Type /XObject /Subtype /Image /Width " + std::to_string(w) + " /Height " +
                             std::to_string(h) + " /ColorSpace /DeviceRGB /BitsPerComponent 8" +
                             " /Filter /JPXDecode /SMask " + Ref(mask_num);
    const int num = pdf.AddStream(dict, jpx.jp2);
    pdf.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 240, 160));

    PngImage png = ExtractOnePng(pdf.Build());
    ASSERT_EQ(png.width, w);
    ASSERT_EQ(png.height, h);
    ASSERT_EQ(png.color_type, PNG_COLOR_TYPE_RGB_ALPHA);
    int worst_alpha = 0;
    for (int i = 0; i < w * h; ++i)
        worst_alpha = std::max(worst_alpha, std::abs(int(png.rgba[i * 4 + 3]) - int(static_cast<uint8_t>(soft[i]))));
    EXPECT_EQ(worst_alpha, 0) << "alpha must be the soft mask alone, not multiplied by the file's channel";
    int worst_colour = 0;  // where the page shows the colour at all
    for (int i = 0; i < w * h; ++i)
        if (png.rgba[i * 4 + 3] >= 64)
            for (int c = 0; c < 3; ++c)
                worst_colour = std::max(worst_colour, std::abs(int(png.rgba[i * 4 + c]) -
                                                               int(static_cast<uint8_t>(jpx.rgb[i * 3 + c]))));
    EXPECT_LE(worst_colour, 1);
}

TEST_F(ProducerQuirks, JpxAlphaChannelWithoutSMaskInDataIsOpaque)
{
    const int w = 20, h = 12;
    JpxWithAlpha jpx = MakeJpxWithAlpha(w, h);
    PdfWriter pdf;
    const std::string dict = "/Type /XObject /Subtype /Image /Width " + std::to_string(w) + " /Height " +
                             std::to_string(h) + " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /JPXDecode";
    const int num = pdf.AddStream(dict, jpx.jp2);
    pdf.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 200, 120));

    PngImage png = ExtractOnePng(pdf.Build());
    ASSERT_EQ(png.width, w);
    EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_RGB);
    EXPECT_LE(MaxColourDifference(png, jpx.rgb), 1);
}

}  // namespace

// Writers that put the page tree and the catalog last lose them first when a
// download is cut off; the pages and their images before the cut remain.
class TreeCutOff : public ProducerQuirks, public ::testing::WithParamInterface<bool> {};

TEST_P(TreeCutOff, PagesBeforeTheCutAreExtractedInOrder)
{
    const bool catalog_lost = GetParam();
    PdfWriter pdf;
    const int widths[3] = {30, 20, 10};
    for (int i = 0; i < 3; ++i) {
        ImageObject img = FlateImage(widths[i], 8, "/DeviceRGB", 3, 8, 40 + i);
        const int num = pdf.AddStream(img.dict, img.stream);
        pdf.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 300, 80));
    }
    const int catalog = 1;  // the writer's first object
    if (catalog_lost)
        pdf.MoveToEnd(catalog);
    pdf.MoveToEnd(pdf.PageTree());
    const std::string full = pdf.Build();
    size_t cut = pdf.ObjectOffset(pdf.PageTree());
    if (catalog_lost)
        cut = std::min(cut, pdf.ObjectOffset(catalog));
    const std::string bytes = full.substr(0, cut + 5);

    const fs::path source = dir_.path() / "cut.pdf";
    const fs::path out = dir_.path() / "out";
    fs::create_directories(out);
    WriteFile(source, bytes);
    ASSERT_EQ(RunExtract(source.string(), "1-9999", out.string()).result, KESTRAN_EXTRACT_OK);
    ASSERT_EQ(ListFiles(out), (std::vector<std::string>{"cut-001-01.png", "cut-002-01.png", "cut-003-01.png"}));
    for (int i = 0; i < 3; ++i) {
        PngImage png;
        ASSERT_TRUE(DecodePng(ReadFile(out / ("cut-00" + std::to_string(i + 1) + "-01.png")), &png));
        EXPECT_EQ(png.width, widths[i]) << "page " << i + 1 << " out of order";
    }
    EXPECT_TRUE(ReadFile(source) == bytes) << "the input is never changed";
}

INSTANTIATE_TEST_SUITE_P(Cuts, TreeCutOff, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "CatalogAndTreeLost" : "TreeLost");
                         });

// Image data that ends before the last row (a cut download, a writer that
// stopped early): the image is written as MuPDF shows it, with the missing
// rows filled in, and the log says that it is incomplete.
class ShortImageData : public ProducerQuirks, public ::testing::WithParamInterface<bool> {};

TEST_P(ShortImageData, IsWrittenAndReportedAsIncomplete)
{
    const bool compressed = GetParam();
    const int w = 40, h = 30;
    const std::string samples = MakeSamples(w, h, 3, 8, 77);
    ImageObject img = FlateImageFromSamples(w, h, "/DeviceRGB", 3, 8, samples);
    if (!compressed) {
        img.dict = "/Type /XObject /Subtype /Image /Width 40 /Height 30 /ColorSpace /DeviceRGB /BitsPerComponent 8";
        img.stream = samples;
    }
    img.stream.resize(img.stream.size() / 2);
    PdfWriter pdf;
    const int num = pdf.AddStream(img.dict, img.stream);
    pdf.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 200, 150));

    ::testing::internal::CaptureStderr();
    PngImage png = ExtractOnePng(pdf.Build());
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(png.width, w);
    EXPECT_NE(log.find("page 1: image 1 is incomplete"), std::string::npos) << log;
}

TEST_F(ProducerQuirks, CompleteImageDataIsNotReportedAsIncomplete)
{
    PdfWriter pdf;
    ImageObject img = FlateImage(40, 30, "/DeviceRGB", 3, 8, 78);
    const int num = pdf.AddStream(img.dict, img.stream);
    pdf.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 200, 150));
    ::testing::internal::CaptureStderr();
    ExtractOnePng(pdf.Build());
    EXPECT_EQ(::testing::internal::GetCapturedStderr().find("incomplete"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ShortImageData, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Flate" : "Uncompressed");
                         });
