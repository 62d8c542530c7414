// What each kind of embedded image becomes: JPEG and JPEG 2000 copied byte for
// byte when their bytes alone show the image as the page does, everything else
// a lossless PNG that decodes to what MuPDF draws for that image, mask included.
#include <gtest/gtest.h>
#include <png.h>

#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

extern "C" {
#include <mupdf/fitz.h>
}

namespace fs = std::filesystem;
using namespace fixtures;

namespace {

// MuPDF's draw device and the extractor's colour conversion may round
// differently by a step or two; anything larger is a wrong colour.
constexpr int kTolerance = 4;

class ExtractFormats : public ::testing::Test {
protected:
    // Writes `pdf` as img.pdf, extracts every page into a fresh folder and
    // checks the file names against the fixture's expectations.
    void Extract(const FixturePdf& pdf) {
        pdf_ = pdf;
        source_ = dir_ / "img.pdf";
        out_ = dir_ / "out";
        fs::create_directory(out_);
        WriteFile(source_, pdf.bytes);
        run_ = RunExtract(source_.string(), "1-9999", out_.string());
        ASSERT_EQ(run_.result, KESTRAN_EXTRACT_OK);
        ASSERT_EQ(ListFiles(out_), ExpectedNames(pdf, "img"));
    }

    std::string Output(size_t i) const {
        std::map<int, int> per_page;
        std::string name;
        for (size_t k = 0; k <= i; ++k)
            name = ImageName("img", pdf_.images[k].page, ++per_page[pdf_.images[k].page], pdf_.images[k].ext);
        return ReadFile(out_ / name);
    }

    TiffImage OutputTiff(size_t i) const {
        TiffImage tiff;
        std::string error;
        EXPECT_TRUE(DecodeTiff(Output(i), &tiff, &error)) << pdf_.images[i].what << ": " << error;
        return tiff;
    }

    // A CMYK TIFF as MuPDF shows CMYK without colour management.
    static PngImage AsDrawn(const TiffImage& tiff) {
        PngImage png;
        png.width = tiff.width;
        png.height = tiff.height;
        png.rgba = tiff.rgba;
        return png;
    }

    PngImage OutputPng(size_t i) const {
        PngImage png;
        std::string error;
        EXPECT_TRUE(DecodePng(Output(i), &png, &error)) << pdf_.images[i].what << ": " << error;
        return png;
    }

    // The PNG of image i against MuPDF's drawing of the same object.
    void ExpectDrawnAsMupdf(size_t i, const PngImage& png, uint32_t stencil_rgb = 0xff0000,
                            int tolerance = kTolerance) const {
        const ExpectedImage& e = pdf_.images[i];
        int w = 0, h = 0;
        std::vector<uint8_t> ref = DrawImageWithMupdf(pdf_.bytes, e.object, &w, &h, std::string(), stencil_rgb);
        ASSERT_FALSE(ref.empty()) << e.what;
        ASSERT_EQ(png.width, w) << e.what;
        ASSERT_EQ(png.height, h) << e.what;
        const int diff = MaxRgbaDifference(png.rgba, ref);
        std::string hint;
        if (diff > tolerance && MaxRgbaDifference(png.rgba, FlipRows(ref, w, h)) <= tolerance)
            hint = " (the output is upside down)";
        if (diff > tolerance && MaxRgbaDifference(png.rgba, FlipAlpha(ref, w, h)) <= tolerance)
            hint = " (the alpha channel is upside down)";
        EXPECT_LE(diff, tolerance) << e.what << hint;
    }

    static std::vector<uint8_t> FlipAlpha(const std::vector<uint8_t>& rgba, int w, int h) {
        std::vector<uint8_t> flipped = FlipRows(rgba, w, h);
        for (size_t i = 0; i < rgba.size(); i += 4)
            std::copy_n(rgba.begin() + i, 3, flipped.begin() + i);
        return flipped;
    }

    static std::vector<uint8_t> FlipRows(const std::vector<uint8_t>& rgba, int w, int h) {
        std::vector<uint8_t> flipped(rgba.size());
        const size_t stride = static_cast<size_t>(w) * 4;
        for (int y = 0; y < h; ++y)
            std::copy_n(rgba.begin() + stride * y, stride, flipped.begin() + stride * (h - 1 - y));
        return flipped;
    }

    TempDir dir_;
    FixturePdf pdf_;
    fs::path source_, out_;
    ExtractRun run_;
};

// ---------------------------------------------------------------------------
// JPEG

class ExtractJpeg : public ExtractFormats, public ::testing::WithParamInterface<JpegKind> {};

TEST_P(ExtractJpeg, CopiedOnlyWhenTheBytesShowTheImageAsThePageDoes) {
    ASSERT_NO_FATAL_FAILURE(Extract(MakeJpegPdf(GetParam())));
    if (JpegCopiedAsIs(GetParam())) {
        EXPECT_TRUE(Output(0) == pdf_.images[0].stream) << pdf_.images[0].what << ": not the embedded bytes";
    } else if (pdf_.images[0].ext == "tif") {
        ExpectDrawnAsMupdf(0, AsDrawn(OutputTiff(0)));
    } else {
        PngImage png = OutputPng(0);
        ExpectDrawnAsMupdf(0, png);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ExtractJpeg,
                         ::testing::Values(JpegKind::Gray, JpegKind::Rgb, JpegKind::RgbInverted, JpegKind::CmykAdobe,
                                           JpegKind::CmykAdobeInverted, JpegKind::CmykPlain,
                                           JpegKind::CmykPlainInverted, JpegKind::RgbNoTransform),
                         [](const ::testing::TestParamInfo<JpegKind>& info) { return JpegKindName(info.param); });

// The copied CMYK JPEG must look like the page: decoding the copy the way a
// viewer does (plain CMYK without marker, inverted with the Adobe marker)
// gives the colours MuPDF draws.
TEST_F(ExtractFormats, CmykJpegCopiesAndConversionsDifferWhereTheDecodeDiffers) {
    FixturePdf plain = MakeJpegPdf(JpegKind::CmykPlain);
    FixturePdf inverted = MakeJpegPdf(JpegKind::CmykPlainInverted);
    int w = 0, h = 0;
    auto a = DrawImageWithMupdf(plain.bytes, plain.images[0].object, &w, &h);
    auto b = DrawImageWithMupdf(inverted.bytes, inverted.images[0].object, &w, &h);
    // Sanity of the fixtures themselves: same bytes, different colours on the page.
    ASSERT_EQ(plain.images[0].stream, inverted.images[0].stream);
    ASSERT_GT(MaxRgbaDifference(a, b), 64);
    ASSERT_NO_FATAL_FAILURE(Extract(inverted));
    PngImage png = AsDrawn(OutputTiff(0));
    EXPECT_LE(MaxRgbaDifference(png.rgba, b), kTolerance);
    EXPECT_GT(MaxRgbaDifference(png.rgba, a), 64);
}

// A JPEG or JPEG 2000 with a mask cannot be shown by its bytes alone: the mask
// must become the alpha of a PNG.
class ExtractMaskedCompressed : public ExtractFormats, public ::testing::WithParamInterface<int> {};

TEST_P(ExtractMaskedCompressed, BecomesPngWithAlpha) {
    PdfWriter w;
    ImageObject mask = SoftMaskImage(32, 24, 7);
    int mask_num = w.AddStream(mask.dict, mask.stream);
    ImageObject img;
    switch (GetParam()) {
    case 0: img = JpegImage(JpegKind::Rgb, 32, 24, 8); img.dict += " /SMask " + Ref(mask_num); break;
    case 1: img = JpegImage(JpegKind::Gray, 32, 24, 9); img.dict += " /SMask " + Ref(mask_num); break;
    case 2: img = Jp2Image(32, 24, 3, 10); img.dict += " /SMask " + Ref(mask_num); break;
    default: {
        ImageObject stencil = StencilImage(32, 24, 11);
        img = JpegImage(JpegKind::Rgb, 32, 24, 12);
        img.dict += " /Mask " + Ref(w.AddStream(stencil.dict, stencil.stream));
        break;
    }
    }
    int num = w.AddStream(img.dict, img.stream);
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 320, 240));
    FixturePdf pdf;
    pdf.bytes = w.Build();
    pdf.pages = 1;
    ExpectedImage e;
    e.page = 1;
    e.ext = "png";
    e.width = 32;
    e.height = 24;
    e.object = num;
    e.stream = img.stream;
    e.what = "masked compressed image " + std::to_string(GetParam());
    pdf.images.push_back(e);
    ASSERT_NO_FATAL_FAILURE(Extract(pdf));
    PngImage png = OutputPng(0);
    EXPECT_TRUE(png.color_type == PNG_COLOR_TYPE_RGB_ALPHA || png.color_type == PNG_COLOR_TYPE_GRAY_ALPHA ||
                png.has_trns)
        << e.what;
    ExpectDrawnAsMupdf(0, png);
}

std::string MaskedCompressedName(const ::testing::TestParamInfo<int>& info) {
    static const char* names[] = {"JpegRgbSoftMask", "JpegGraySoftMask", "Jp2SoftMask", "JpegStencilMask"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Kinds, ExtractMaskedCompressed, ::testing::Values(0, 1, 2, 3), MaskedCompressedName);

TEST_F(ExtractFormats, GrayJpegWithInvertingDecodeIsConverted) {
    PdfWriter w;
    ImageObject img = JpegImage(JpegKind::Gray, 30, 20, 13);
    img.dict += " /Decode [1 0]";
    FixturePdf pdf;
    int num = w.AddStream(img.dict, img.stream);
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 300, 200));
    pdf.bytes = w.Build();
    pdf.pages = 1;
    ExpectedImage e;
    e.page = 1;
    e.ext = "png";
    e.width = 30;
    e.height = 20;
    e.object = num;
    e.stream = img.stream;
    e.what = "inverted gray JPEG";
    pdf.images.push_back(e);
    ASSERT_NO_FATAL_FAILURE(Extract(pdf));
    PngImage png = OutputPng(0);
    EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_GRAY);
    ExpectDrawnAsMupdf(0, png);
}

// ---------------------------------------------------------------------------
// JPEG 2000

TEST_F(ExtractFormats, Jpeg2000RgbIsCopiedByteForByte) {
    ASSERT_NO_FATAL_FAILURE(Extract(MakeJp2Pdf(3)));
    EXPECT_TRUE(Output(0) == pdf_.images[0].stream);
}

TEST_F(ExtractFormats, Jpeg2000GrayIsCopiedByteForByte) {
    ASSERT_NO_FATAL_FAILURE(Extract(MakeJp2Pdf(1, 33, 17)));
    EXPECT_TRUE(Output(0) == pdf_.images[0].stream);
}

// ---------------------------------------------------------------------------
// Flate and the colour spaces

class ExtractFlate : public ExtractFormats, public ::testing::WithParamInterface<FlateKind> {};

TEST_P(ExtractFlate, WrittenAsLosslessPngLikeMupdfDrawsIt) {
    const FlateKind kind = GetParam();
    ASSERT_NO_FATAL_FAILURE(Extract(MakeFlatePdf(kind)));
    if (pdf_.images[0].ext == "tif") {
        // Inks stay inks: the TIFF shows what MuPDF shows by the same formula.
        ExpectDrawnAsMupdf(0, AsDrawn(OutputTiff(0)));
        return;
    }
    PngImage png = OutputPng(0);
    // Lab is converted with lcms2, which MuPDF here does not have (see
    // extract_colour_test.cpp); only its layout is checked here.
    if (kind != FlateKind::Lab)
        ExpectDrawnAsMupdf(0, png);

    const bool color = (png.color_type & PNG_COLOR_MASK_COLOR) != 0;
    switch (kind) {
    case FlateKind::Gray1: EXPECT_EQ(png.bit_depth, 1); break;
    case FlateKind::Gray2: EXPECT_EQ(png.bit_depth, 2); break;
    case FlateKind::Gray4: EXPECT_EQ(png.bit_depth, 4); break;
    case FlateKind::Gray8:
    case FlateKind::GrayInverted:
    case FlateKind::GrayPredictor: EXPECT_EQ(png.bit_depth, 8); break;
    case FlateKind::Gray16:
    case FlateKind::Gray16Inverted:
    case FlateKind::Rgb16: EXPECT_EQ(png.bit_depth, 16); break;
    case FlateKind::Indexed2:
        EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_PALETTE);
        EXPECT_EQ(png.bit_depth, 2);
        EXPECT_GE(png.palette_size, 4);
        break;
    case FlateKind::Indexed8:
        EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_PALETTE);
        EXPECT_EQ(png.bit_depth, 8);
        // Padding up to 256 entries (for out-of-range indices) is allowed.
        EXPECT_GE(png.palette_size, 200);
        break;
    case FlateKind::Indexed4:
        EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_PALETTE);
        EXPECT_EQ(png.bit_depth, 4);
        EXPECT_GE(png.palette_size, 16);
        break;
    default: break;
    }
    switch (kind) {
    case FlateKind::Gray1:
    case FlateKind::Gray2:
    case FlateKind::Gray4:
    case FlateKind::Gray8:
    case FlateKind::Gray16:
    case FlateKind::GrayInverted:
    case FlateKind::GrayPredictor:
    case FlateKind::Gray16Inverted:
    case FlateKind::IccGray:
        EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_GRAY) << "gray must stay gray";
        break;
    case FlateKind::Rgb:
    case FlateKind::Rgb16:
    case FlateKind::RgbPredictor:
    case FlateKind::Cmyk:
    case FlateKind::Lab:
    case FlateKind::Separation:
    case FlateKind::DeviceN:
    case FlateKind::IccRgb:
        EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_RGB) << "opaque colour image without alpha";
        break;
    case FlateKind::ColorKey:
        EXPECT_TRUE(png.color_type == PNG_COLOR_TYPE_RGB_ALPHA || png.has_trns) << "colour key lost";
        EXPECT_TRUE(color);
        break;
    default: break;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ExtractFlate,
                         ::testing::Values(FlateKind::Rgb, FlateKind::Rgb16, FlateKind::Gray1, FlateKind::Gray2,
                                           FlateKind::Gray4, FlateKind::Gray8, FlateKind::Gray16,
                                           FlateKind::GrayInverted, FlateKind::Indexed8, FlateKind::Indexed4,
                                           FlateKind::Cmyk, FlateKind::Lab, FlateKind::Separation,
                                           FlateKind::DeviceN, FlateKind::RgbPredictor, FlateKind::GrayPredictor,
                                           FlateKind::ColorKey, FlateKind::Indexed2, FlateKind::Gray16Inverted,
                                           FlateKind::IccRgb, FlateKind::IccGray),
                         [](const ::testing::TestParamInfo<FlateKind>& info) { return FlateKindName(info.param); });

// Lossless means the very samples of the PDF, not merely close colours.
struct ExactCase {
    FlateKind kind;
    int components;
};

void PrintTo(const ExactCase& c, std::ostream* os) { *os << FlateKindName(c.kind); }

class ExtractExact : public ExtractFormats, public ::testing::WithParamInterface<ExactCase> {};

TEST_P(ExtractExact, EightBitSamplesComeBackUnchanged) {
    ASSERT_NO_FATAL_FAILURE(Extract(MakeFlatePdf(GetParam().kind)));
    const int comps = GetParam().components;
    const ExpectedImage& e = pdf_.images[0];
    std::string samples = MakeSamples(e.width, e.height, comps, 8, 1);
    PngImage png = OutputPng(0);
    ASSERT_EQ(png.width, e.width);
    ASSERT_EQ(png.height, e.height);
    size_t mismatches = 0;
    for (int i = 0; i < e.width * e.height; ++i)
        for (int c = 0; c < 3; ++c)
            if (png.rgba[i * 4 + c] != static_cast<uint8_t>(samples[i * comps + (comps == 3 ? c : 0)]))
                ++mismatches;
    EXPECT_EQ(mismatches, 0u) << FlateKindName(GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ExtractExact,
                         ::testing::Values(ExactCase{FlateKind::Rgb, 3}, ExactCase{FlateKind::RgbPredictor, 3},
                                           ExactCase{FlateKind::Gray8, 1}, ExactCase{FlateKind::GrayPredictor, 1}),
                         [](const ::testing::TestParamInfo<ExactCase>& info) { return FlateKindName(info.param.kind); });

class ExtractSixteenBit : public ExtractFormats, public ::testing::WithParamInterface<FlateKind> {};

TEST_P(ExtractSixteenBit, KeepsEverySixteenBitSample) {
    ASSERT_NO_FATAL_FAILURE(Extract(MakeFlatePdf(GetParam())));
    PngImage png = OutputPng(0);
    ASSERT_EQ(png.bit_depth, 16);
    std::string raw = Inflate(pdf_.images[0].stream);
    ASSERT_EQ(png.samples16.size() * 2, raw.size());
    const bool inverted = GetParam() == FlateKind::Gray16Inverted;  // /Decode [1 0]
    size_t mismatches = 0;
    for (size_t i = 0; i < png.samples16.size(); ++i) {
        uint16_t v = static_cast<uint16_t>((static_cast<uint8_t>(raw[2 * i]) << 8) | static_cast<uint8_t>(raw[2 * i + 1]));
        if (inverted)
            v = static_cast<uint16_t>(65535 - v);
        if (png.samples16[i] != v)
            ++mismatches;
    }
    EXPECT_EQ(mismatches, 0u) << "16-bit samples cut or changed";
}

INSTANTIATE_TEST_SUITE_P(Kinds, ExtractSixteenBit,
                         ::testing::Values(FlateKind::Gray16, FlateKind::Rgb16, FlateKind::Gray16Inverted),
                         [](const ::testing::TestParamInfo<FlateKind>& info) { return FlateKindName(info.param); });

// ---------------------------------------------------------------------------
// Masks

// The reference itself: the soft-masked image composed over the page's blue
// rectangle must be what MuPDF renders for the page, orientation included.
TEST(ReferenceDrawing, MatchesThePageMupdfRenders) {
    FixturePdf pdf = MakeSoftMaskPdf(false);
    int w = 0, h = 0;
    std::vector<uint8_t> ref = DrawImageWithMupdf(pdf.bytes, pdf.images[0].object, &w, &h);
    ASSERT_EQ(w, 40);
    ASSERT_EQ(h, 30);
    TempDir dir;
    WriteFile(dir / "page.pdf", pdf.bytes);
    fz_context* ctx = fz_new_context(nullptr, nullptr, FZ_STORE_DEFAULT);
    ASSERT_NE(ctx, nullptr);
    fz_register_document_handlers(ctx);
    fz_document* doc = nullptr;
    fz_pixmap* pix = nullptr;
    fz_var(doc);
    fz_var(pix);
    fz_try(ctx) {
        doc = fz_open_document(ctx, (dir / "page.pdf").c_str());
        // The image is placed at (72, 400) with size 320 x 240: one eighth maps it 1:1.
        pix = fz_new_pixmap_from_page_number(ctx, doc, 0, fz_scale(0.125f, 0.125f), fz_device_rgb(ctx), 0);
    }
    fz_catch(ctx) {}
    ASSERT_NE(pix, nullptr);
    const unsigned char* s = fz_pixmap_samples(ctx, pix);
    const int stride = fz_pixmap_stride(ctx, pix);
    const int x0 = 9, y0 = (792 - 400 - 240) / 8;
    int worst = 0;
    for (int y = 1; y < h - 1; ++y)
        for (int x = 1; x < w - 1; ++x) {
            const uint8_t* r = &ref[(static_cast<size_t>(y) * w + x) * 4];
            const unsigned char* p = s + static_cast<size_t>(y0 + y) * stride + (x0 + x) * 3;
            const int blue[3] = {0, 0, 255};
            for (int k = 0; k < 3; ++k) {
                int want = (r[k] * r[3] + blue[k] * (255 - r[3]) + 127) / 255;
                worst = std::max(worst, std::abs(want - p[k]));
            }
        }
    fz_drop_pixmap(ctx, pix);
    fz_drop_document(ctx, doc);
    fz_drop_context(ctx);
    EXPECT_LE(worst, 8);
}

TEST_F(ExtractFormats, SoftMaskAtImageSizeBecomesAlpha) {
    ASSERT_NO_FATAL_FAILURE(Extract(MakeSoftMaskPdf(false)));
    PngImage png = OutputPng(0);
    EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_RGB_ALPHA);
    ExpectDrawnAsMupdf(0, png);
}

TEST_F(ExtractFormats, SoftMaskAtHalfSizeBecomesAlphaAtImageSize) {
    ASSERT_NO_FATAL_FAILURE(Extract(MakeSoftMaskPdf(true)));
    PngImage png = OutputPng(0);
    EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_RGB_ALPHA);
    // Scaling the mask up smooths its sharp edges; the filter MuPDF picks for a
    // clip differs a little from the one for a fill, so allow more at the edges.
    ExpectDrawnAsMupdf(0, png, 0xff0000, 48);
}

TEST_F(ExtractFormats, StencilInItsPaintColourAndStencilMaskAsAlpha) {
    ASSERT_NO_FATAL_FAILURE(Extract(MakeStencilPdf()));
    PngImage stencil = OutputPng(0);
    ExpectDrawnAsMupdf(0, stencil, 0xff0000);
    PngImage masked = OutputPng(1);
    ExpectDrawnAsMupdf(1, masked);
    bool some_transparent = false;
    for (size_t i = 3; i < masked.rgba.size(); i += 4)
        some_transparent |= masked.rgba[i] == 0;
    EXPECT_TRUE(some_transparent) << "the /Mask stencil was not applied";
}

// ---------------------------------------------------------------------------
// Inline images

TEST_F(ExtractFormats, InlineImageIsExtractedOnceLosslessly) {
    ASSERT_NO_FATAL_FAILURE(Extract(MakeInlineImagePdf()));
    const ExpectedImage& e = pdf_.images[0];
    PngImage png = OutputPng(0);
    ASSERT_EQ(png.width, e.width);
    ASSERT_EQ(png.height, e.height);
    size_t mismatches = 0;
    for (int i = 0; i < e.width * e.height * 3; ++i)
        if (png.rgba[(i / 3) * 4 + i % 3] != static_cast<uint8_t>(e.stream[i]))
            ++mismatches;
    EXPECT_EQ(mismatches, 0u);
    PngImage second = OutputPng(1);
    ExpectDrawnAsMupdf(1, second);
}

}  // namespace
