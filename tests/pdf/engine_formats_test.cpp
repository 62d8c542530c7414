// Format decisions of the engine that the behaviour tests do not reach:
// stored PNG rows kept as they are, 16-bit samples with a soft mask, palettes
// with masks, and the JPEG / JPEG 2000 copies that would show wrongly.
#include <gtest/gtest.h>

#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;

namespace {

class EngineFormats : public ::testing::Test {
protected:
    // Writes a one-page PDF drawing `image` (with `mask` as its /SMask when
    // given), extracts it and returns the single output file's name.
    std::string ExtractOne(const ImageObject& image, const ImageObject* mask = nullptr, int* image_object = nullptr)
    {
        PdfWriter w;
        std::string dict = image.dict;
        if (mask != nullptr)
            dict += " /SMask " + Ref(w.AddStream(mask->dict, mask->stream));
        const int num = w.AddStream(dict, image.stream);
        if (image_object != nullptr)
            *image_object = num;
        w.AddPage(XObjectResources({{"Im", num}}), DrawXObject("Im", 10, 10, 200, 150));
        pdf_ = w.Build();
        WriteFile(dir_ / "doc.pdf", pdf_);
        fs::create_directory(dir_ / "out");
        ExtractRun run = RunExtract((dir_ / "doc.pdf").string(), "1", (dir_ / "out").string());
        EXPECT_EQ(run.result, KESTRAN_EXTRACT_OK);
        std::vector<std::string> files = ListFiles(dir_ / "out");
        EXPECT_EQ(files.size(), 1u) << ::testing::PrintToString(files);
        return files.empty() ? std::string() : files[0];
    }

    std::string Output(const std::string& name) { return ReadFile(dir_ / "out" / name); }

    TempDir dir_;
    std::string pdf_;
};

// The concatenated IDAT data of a PNG.
std::string IdatData(const std::string& png)
{
    std::string data;
    size_t pos = 8;
    while (pos + 12 <= png.size()) {
        const auto* p = reinterpret_cast<const unsigned char*>(png.data() + pos);
        const size_t length = (size_t(p[0]) << 24) | (size_t(p[1]) << 16) | (size_t(p[2]) << 8) | p[3];
        if (png.compare(pos + 4, 4, "IDAT") == 0)
            data += png.substr(pos + 8, length);
        pos += 12 + length;
    }
    return data;
}

TEST_F(EngineFormats, PngPredictedFlateRowsBecomeThePngDataUnchanged)
{
    for (int components : {1, 3}) {
        SCOPED_TRACE(components);
        ImageObject image = FlateImage(45, 31, components == 1 ? "/DeviceGray" : "/DeviceRGB", components, 8, 4, 15);
        std::string name = ExtractOne(image);
        ASSERT_EQ(name, "doc-001-01.png");
        const std::string png = Output(name);
        EXPECT_TRUE(IdatData(png) == image.stream) << "the stored stream is the PNG's data";
        PngImage decoded;
        ASSERT_TRUE(DecodePng(png, &decoded));
        const std::string samples = MakeSamples(45, 31, components, 8, 4);
        for (int i = 0; i < 45 * 31; ++i)
            ASSERT_EQ(decoded.rgba[i * 4 + 2], static_cast<uint8_t>(samples[i * components + components - 1])) << i;
        fs::remove_all(dir_ / "out");
    }
}

TEST_F(EngineFormats, PredictedRowsWithADecodeArrayAreDecodedNotCopied)
{
    ImageObject image = FlateImage(20, 10, "/DeviceGray", 1, 8, 2, 15, "/Decode [1 0]");
    const std::string png = Output(ExtractOne(image));
    EXPECT_FALSE(IdatData(png) == image.stream);
    PngImage decoded;
    ASSERT_TRUE(DecodePng(png, &decoded));
    const std::string samples = MakeSamples(20, 10, 1, 8, 2);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(decoded.rgba[i * 4], 255 - static_cast<uint8_t>(samples[i])) << i;
}

TEST_F(EngineFormats, SixteenBitGrayWithSoftMaskKeepsSixteenBitsAndGainsAlpha)
{
    ImageObject image = FlateImage(24, 18, "/DeviceGray", 1, 16, 9);
    ImageObject mask = SoftMaskImage(24, 18, 3);
    PngImage decoded;
    ASSERT_TRUE(DecodePng(Output(ExtractOne(image, &mask)), &decoded));
    EXPECT_EQ(decoded.bit_depth, 16);
    EXPECT_EQ(decoded.color_type, 4);  // gray + alpha
    const std::string samples = MakeSamples(24, 18, 1, 16, 9);
    const std::string alpha = Inflate(mask.stream);
    ASSERT_EQ(decoded.samples16.size(), 24u * 18u * 2u);
    for (int i = 0; i < 24 * 18; ++i) {
        const unsigned gray = (static_cast<uint8_t>(samples[i * 2]) << 8) | static_cast<uint8_t>(samples[i * 2 + 1]);
        ASSERT_EQ(decoded.samples16[i * 2], gray) << i;
        ASSERT_EQ(decoded.samples16[i * 2 + 1], static_cast<uint8_t>(alpha[i]) * 257u) << i;
    }
}

TEST_F(EngineFormats, IndexedImageWithSoftMaskBecomesRgbaAsMupdfDrawsIt)
{
    ImageObject image = FlateImage(30, 20, IndexedColorspace(16), 1, 4, 6);
    ImageObject mask = SoftMaskImage(15, 10, 1);  // half size as well
    int object = 0;
    PngImage decoded;
    ASSERT_TRUE(DecodePng(Output(ExtractOne(image, &mask, &object)), &decoded));
    EXPECT_EQ(decoded.color_type, 6);
    int w = 0, h = 0;
    std::vector<uint8_t> reference = DrawImageWithMupdf(pdf_, object, &w, &h);
    ASSERT_EQ(w, 30);
    ASSERT_EQ(h, 20);
    EXPECT_LE(MaxRgbaDifference(reference, decoded.rgba), 4);
}

TEST_F(EngineFormats, JpegWithSoftMaskIsDecodedToPngWithAlpha)
{
    ImageObject image = JpegImage(JpegKind::Rgb, 32, 24, 5);
    ImageObject mask = SoftMaskImage(32, 24, 2);
    std::string name = ExtractOne(image, &mask);
    EXPECT_EQ(name, "doc-001-01.png");
    PngImage decoded;
    ASSERT_TRUE(DecodePng(Output(name), &decoded));
    EXPECT_EQ(decoded.color_type, 6);
}

TEST_F(EngineFormats, Jpeg2000UnderADecodeArrayIsDecodedNotCopied)
{
    ImageObject image = Jp2Image(20, 16, 3, 7);
    image.dict += " /Decode [1 0 1 0 1 0]";
    int object = 0;
    std::string name = ExtractOne(image, nullptr, &object);
    ASSERT_EQ(name, "doc-001-01.png");
    PngImage decoded;
    ASSERT_TRUE(DecodePng(Output(name), &decoded));
    int w = 0, h = 0;
    std::vector<uint8_t> reference = DrawImageWithMupdf(pdf_, object, &w, &h);
    ASSERT_EQ(w, 20);
    EXPECT_LE(MaxRgbaDifference(reference, decoded.rgba), 1);
}

TEST_F(EngineFormats, Jpeg2000WithSoftMaskIsDecodedWithAlpha)
{
    ImageObject image = Jp2Image(20, 16, 1, 3);
    ImageObject mask = SoftMaskImage(20, 16, 4);
    PngImage decoded;
    ASSERT_TRUE(DecodePng(Output(ExtractOne(image, &mask)), &decoded));
    EXPECT_EQ(decoded.color_type, 4);  // gray stays gray, with alpha
}

// Pages sharing one resource dictionary that names several JPEG 2000 images
// of the same size, each page drawing one: every copy is the stream of the
// image its page draws.
TEST_F(EngineFormats, Jpeg2000ImagesOfEqualSizeInSharedResourcesKeepTheirOwnBytes)
{
    PdfWriter w;
    std::vector<ImageObject> images;
    std::map<std::string, int> names;
    for (int i = 0; i < 3; ++i) {
        images.push_back(Jp2Image(24, 16, 3, 11 + i));
        names["J" + std::to_string(i)] = w.AddStream(images.back().dict, images.back().stream);
    }
    const std::string resources = XObjectResources(names);
    for (int page = 0; page < 3; ++page)
        w.AddPage(resources, DrawXObject("J" + std::to_string(2 - page), 10, 10, 100, 80));
    WriteFile(dir_ / "shared.pdf", w.Build());
    fs::create_directory(dir_ / "out");
    ASSERT_EQ(RunExtract((dir_ / "shared.pdf").string(), "1-3", (dir_ / "out").string()).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(dir_ / "out"),
              (std::vector<std::string>{"shared-001-01.jp2", "shared-002-01.jp2", "shared-003-01.jp2"}));
    for (int page = 0; page < 3; ++page)
        EXPECT_TRUE(ReadFile(dir_ / "out" / ("shared-00" + std::to_string(page + 1) + "-01.jp2")) ==
                    images[2 - page].stream)
            << "page " << page + 1;
}

}  // namespace
