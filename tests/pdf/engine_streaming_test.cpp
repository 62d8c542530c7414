// Large images are streamed from the file to the output (stored copies and row
// by row PNG encoding) instead of being held in memory. Whatever way an image
// takes, the files must be the same: each case is extracted once with every
// image held and once with every image streamed, and the outputs compared.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "pdf/cancel_flag.h"
#include "pdf/image_extractor.h"
#include "support/lazy.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;

namespace {

struct StreamCase {
    std::string name;
    Lazy<FixturePdf> pdf;  // made when a test first reads it
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

// One page drawing `image` twice (the second placement must not give a file).
FixturePdf OneImagePdf(const ImageObject& image, const std::string& ext)
{
    PdfWriter w;
    const int num = w.AddStream(image.dict, image.stream);
    w.AddPage(XObjectResources({{"Im", num}}), DrawXObject("Im", 10, 10, 200, 150) + DrawXObject("Im", 300, 10, 50, 50));
    FixturePdf pdf;
    pdf.bytes = w.Build();
    pdf.pages = 1;
    ExpectedImage expected;
    expected.page = 1;
    expected.ext = ext;
    expected.width = image.width;
    expected.height = image.height;
    expected.object = num;
    expected.stream = image.stream;
    pdf.images.push_back(expected);
    return pdf;
}

// PNG rows (filter byte 0) of `samples`, with the filter byte of row `bad_row`
// set to a value PNG does not have.
std::string RowsWithBadFilter(const std::string& samples, size_t row_bytes, size_t bad_row)
{
    std::string rows;
    for (size_t y = 0; y * row_bytes < samples.size(); ++y) {
        rows += static_cast<char>(y == bad_row ? 7 : 0);
        rows += samples.substr(y * row_bytes, row_bytes);
    }
    return rows;
}

std::vector<StreamCase> Cases()
{
    std::vector<StreamCase> cases;
    for (JpegKind kind : {JpegKind::Gray, JpegKind::Rgb, JpegKind::CmykAdobe, JpegKind::CmykAdobeInverted,
                          JpegKind::CmykPlain, JpegKind::CmykPlainInverted, JpegKind::RgbInverted,
                          JpegKind::RgbNoTransform})
        cases.push_back({std::string("Jpeg") + JpegKindName(kind), [kind] { return MakeJpegPdf(kind, 120, 90); }});
    bool valid = true;
    for (int i = 0;; ++i) {
        FlateKind kind = AllFlateKinds(i, &valid);
        if (!valid)
            break;
        cases.push_back({std::string("Flate") + FlateKindName(kind), [kind] { return MakeFlatePdf(kind, 301, 97); }});
    }
    // PNG rows of every depth and palette, not only the 8-bit ones.
    for (int bpc : {1, 2, 4, 16}) {
        cases.push_back({"GrayPredictor" + std::to_string(bpc),
                         [bpc] { return OneImagePdf(FlateImage(203, 77, "/DeviceGray", 1, bpc, 11, 15), "png"); }});
    }
    cases.push_back(
        {"RgbPredictor16", [] { return OneImagePdf(FlateImage(150, 60, "/DeviceRGB", 3, 16, 12, 15), "png"); }});
    cases.push_back({"IndexedPredictor4",
                     [] { return OneImagePdf(FlateImage(150, 60, IndexedColorspace(16), 1, 4, 13, 15), "png"); }});
    // Stored rows that cannot become a PNG as they are: decoded instead.
    cases.push_back({"PredictorBadFilterByte", [] {
                         const std::string samples = MakeSamples(64, 40, 1, 8, 14);
                         ImageObject bad = FlateImageFromSamples(64, 40, "/DeviceGray", 1, 8, samples);
                         bad.stream = Deflate(RowsWithBadFilter(samples, 64, 5));
                         bad.dict += " /DecodeParms << /Predictor 15 /Colors 1 /BitsPerComponent 8 /Columns 64 >>";
                         return OneImagePdf(bad, "png");
                     }});
    // A cut stream: the missing rows come out as MuPDF pads them.
    cases.push_back({"FlateCutShort", [] {
                         ImageObject cut = FlateImage(512, 300, "/DeviceGray", 1, 1, 15);
                         cut.stream.resize(cut.stream.size() / 2);
                         return OneImagePdf(cut, "png");
                     }});
    cases.push_back({"LargeJpeg", [] { return OneImagePdf(JpegImage(JpegKind::Rgb, 900, 700, 16), "jpg"); }});
    cases.push_back({"Logo", [] { return MakeLogoPdf(5); }});
    cases.push_back({"Dedupe", MakeDedupePdf});
    cases.push_back({"SoftMask", [] { return MakeSoftMaskPdf(true); }});
    cases.push_back({"Stencil", MakeStencilPdf});
    cases.push_back({"Inline", MakeInlineImagePdf});
    cases.push_back({"Forms", MakeFormsPdf});
    cases.push_back({"Jp2", [] { return MakeJp2Pdf(3, 80, 60); }});
    return cases;
}

class EngineStreaming : public ::testing::TestWithParam<StreamCase> {
protected:
    void SetUp() override { kestran::pdf::ClearCancel(); }

    // Extracts the case's PDF into `folder`, streaming images of at least `stream_bytes`.
    int Extract(const std::string& folder, size_t stream_bytes)
    {
        const fs::path source = dir_ / "case.pdf";
        if (!fs::exists(source))
            WriteFile(source, GetParam().pdf->bytes);
        fs::create_directories(dir_ / folder);
        kestran::pdf::ExtractOptions options;
        options.stream_bytes = stream_bytes;
        return kestran::pdf::ExtractImagesFromFile(source.c_str(), "1-9999", (dir_ / folder).c_str(), nullptr,
                                                   nullptr, nullptr, options);
    }

    TempDir dir_;
};

TEST_P(EngineStreaming, StreamedFilesAreTheFilesHeldInMemory)
{
    ASSERT_EQ(Extract("held", std::numeric_limits<size_t>::max()), KESTRAN_EXTRACT_OK);
    ASSERT_EQ(Extract("streamed", 0), KESTRAN_EXTRACT_OK);
    const std::vector<std::string> held = ListFiles(dir_ / "held");
    const std::vector<std::string> streamed = ListFiles(dir_ / "streamed");
    ASSERT_EQ(streamed, held);
    EXPECT_EQ(held, ExpectedNames(*GetParam().pdf, "case"));
    EXPECT_TRUE(StrayFiles(dir_ / "streamed").empty());
    for (const std::string& name : held) {
        SCOPED_TRACE(name);
        const std::string a = ReadFile(dir_ / "held" / name);
        const std::string b = ReadFile(dir_ / "streamed" / name);
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".png") != 0) {
            EXPECT_TRUE(a == b) << "copies differ";
            continue;
        }
        PngImage pa, pb;
        std::string error;
        ASSERT_TRUE(DecodePng(a, &pa, &error)) << error;
        ASSERT_TRUE(DecodePng(b, &pb, &error)) << error;
        EXPECT_EQ(pb.width, pa.width);
        EXPECT_EQ(pb.height, pa.height);
        EXPECT_EQ(pb.bit_depth, pa.bit_depth);
        EXPECT_EQ(pb.color_type, pa.color_type);
        EXPECT_EQ(pb.has_trns, pa.has_trns);
        EXPECT_TRUE(pb.rgba == pa.rgba) << "pixels differ";
        EXPECT_TRUE(pb.samples16 == pa.samples16) << "16-bit samples differ";
    }
    // A JPEG kept as it is stays the embedded stream, byte for byte.
    for (const ExpectedImage& image : GetParam().pdf->images) {
        if (image.ext != "jpg")
            continue;
        const std::string name = ImageName("case", image.page, 1, "jpg");
        if (fs::exists(dir_ / "streamed" / name)) {
            EXPECT_TRUE(ReadFile(dir_ / "streamed" / name) == image.stream) << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Images, EngineStreaming, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

TEST(EngineStreamingStop, AStopBetweenStreamedImagesLeavesOnlyWholeFiles)
{
    kestran::pdf::ClearCancel();
    TempDir dir;
    PdfWriter w;
    for (int p = 0; p < 4; ++p) {
        ImageObject image = FlateImage(400, 300, "/DeviceRGB", 3, 8, 20 + p, 15);
        const int num = w.AddStream(image.dict, image.stream);
        w.AddPage(XObjectResources({{"Im", num}}), DrawXObject("Im", 0, 0, 400, 300));
    }
    WriteFile(dir / "doc.pdf", w.Build());
    fs::create_directories(dir / "out");
    kestran::pdf::ExtractOptions options;
    options.stream_bytes = 0;
    struct Hook {
        static int Progress(void*, int done, int)
        {
            if (done >= 3)  // page 2 scanned
                kestran::pdf::RequestCancel();
            return 0;
        }
    };
    const int result = kestran::pdf::ExtractImagesFromFile((dir / "doc.pdf").c_str(), "1-4", (dir / "out").c_str(),
                                                           nullptr, &Hook::Progress, nullptr, options);
    kestran::pdf::ClearCancel();
    EXPECT_EQ(result, KESTRAN_EXTRACT_CANCELLED);
    EXPECT_EQ(ListFiles(dir / "out"), std::vector<std::string>{"doc-001-01.png"});
    EXPECT_TRUE(StrayFiles(dir / "out").empty());
    PngImage png;
    EXPECT_TRUE(DecodePng(ReadFile(dir / "out" / "doc-001-01.png"), &png));
}

}  // namespace
