// Which files an extraction writes and under which names: one file per image
// and document, found wherever the page draws it, pages chosen by the range,
// names <stem>-<page>-<index>.<ext>, and never a file overwritten.
#include <gtest/gtest.h>

#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;
using namespace fixtures;

namespace {

class ExtractLayout : public ::testing::Test {
protected:
    fs::path Source(const FixturePdf& pdf, const std::string& name = "doc.pdf") {
        fs::path p = dir_ / name;
        WriteFile(p, pdf.bytes);
        return p;
    }
    fs::path Output(const std::string& name = "out") {
        fs::path p = dir_ / name;
        fs::create_directories(p);
        return p;
    }

    TempDir dir_;
};

TEST_F(ExtractLayout, LogoOnEveryPageIsWrittenOnceAtItsFirstPlacement) {
    FixturePdf pdf = MakeLogoPdf(4);
    fs::path out = Output();
    ASSERT_EQ(RunExtract(Source(pdf).string(), "1-4", out.string()).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"doc-001-01.png", "doc-001-02.jpg", "doc-002-01.jpg",
                                                       "doc-003-01.jpg", "doc-004-01.jpg"}));
    EXPECT_TRUE(ReadFile(out / "doc-003-01.jpg") == pdf.images[3].stream);
}

TEST_F(ExtractLayout, LogoComesFromTheFirstSelectedPage) {
    FixturePdf pdf = MakeLogoPdf(4);
    fs::path out = Output();
    ASSERT_EQ(RunExtract(Source(pdf).string(), "3-4", out.string()).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out),
              (std::vector<std::string>{"doc-003-01.png", "doc-003-02.jpg", "doc-004-01.jpg"}));
}

TEST_F(ExtractLayout, LogoInsideAHeaderFormIsWrittenOnce) {
    PdfWriter w;
    ImageObject logo = FlateImage(24, 12, "/DeviceRGB", 3, 8, 500);
    int logo_num = w.AddStream(logo.dict, logo.stream);
    int header = w.AddStream("/Type /XObject /Subtype /Form /BBox [0 0 1 1] /Resources " +
                                 XObjectResources({{"Logo", logo_num}}),
                             "/Logo Do\n");
    for (int p = 0; p < 3; ++p)
        w.AddPage(XObjectResources({{"Header", header}}), DrawXObject("Header", 20, 740, 48, 24));
    fs::path src = dir_ / "doc.pdf";
    WriteFile(src, w.Build());
    fs::path out = Output();
    ASSERT_EQ(RunExtract(src.string(), "1-3", out.string()).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"doc-001-01.png"}));
}

TEST_F(ExtractLayout, SameInlineImageOnEveryPageIsWrittenOnce) {
    PdfWriter w;
    std::string samples = MakeSamples(6, 4, 1, 8, 501);
    std::string hex;
    for (unsigned char c : samples) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", c);
        hex += b;
    }
    const std::string inline_image = "q 60 0 0 40 100 600 cm BI /W 6 /H 4 /CS /G /BPC 8 /F /AHx ID\n" + hex + ">\nEI Q\n";
    for (int p = 0; p < 3; ++p)
        w.AddPage("<< >>", inline_image);
    fs::path src = dir_ / "doc.pdf";
    WriteFile(src, w.Build());
    fs::path out = Output();
    ASSERT_EQ(RunExtract(src.string(), "1-3", out.string()).result, KESTRAN_EXTRACT_OK);
    ASSERT_EQ(ListFiles(out), (std::vector<std::string>{"doc-001-01.png"}));
    PngImage png;
    ASSERT_TRUE(DecodePng(ReadFile(out / "doc-001-01.png"), &png));
    EXPECT_EQ(png.color_type, 0) << "gray inline image must stay gray";
    ASSERT_EQ(png.width * png.height, 24);
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(png.rgba[i * 4], static_cast<uint8_t>(samples[i])) << i;
}

TEST_F(ExtractLayout, OnePixelImages) {
    PdfWriter w;
    ImageObject rgb = FlateImage(1, 1, "/DeviceRGB", 3, 8, 502);
    ImageObject bit = FlateImage(1, 1, "/DeviceGray", 1, 1, 503);
    ImageObject jpeg = JpegImage(JpegKind::Rgb, 1, 1, 504);
    int a = w.AddStream(rgb.dict, rgb.stream);
    int b = w.AddStream(bit.dict, bit.stream);
    int c = w.AddStream(jpeg.dict, jpeg.stream);
    w.AddPage(XObjectResources({{"A", a}, {"B", b}, {"C", c}}),
              DrawXObject("A", 10, 10, 10, 10) + DrawXObject("B", 30, 10, 10, 10) + DrawXObject("C", 50, 10, 10, 10));
    fs::path src = dir_ / "doc.pdf";
    WriteFile(src, w.Build());
    fs::path out = Output();
    ASSERT_EQ(RunExtract(src.string(), "1", out.string()).result, KESTRAN_EXTRACT_OK);
    ASSERT_EQ(ListFiles(out), (std::vector<std::string>{"doc-001-01.png", "doc-001-02.png", "doc-001-03.jpg"}));
    for (const char* name : {"doc-001-01.png", "doc-001-02.png"}) {
        PngImage png;
        ASSERT_TRUE(DecodePng(ReadFile(out / name), &png)) << name;
        EXPECT_EQ(png.width, 1);
        EXPECT_EQ(png.height, 1);
    }
    EXPECT_TRUE(ReadFile(out / "doc-001-03.jpg") == jpeg.stream);
}

TEST_F(ExtractLayout, DedupeKeyIncludesDecodeAndMaskNotStreamBytesAlone) {
    FixturePdf pdf = MakeDedupePdf();
    fs::path out = Output();
    ASSERT_EQ(RunExtract(Source(pdf).string(), "1", out.string()).result, KESTRAN_EXTRACT_OK);
    // CMYK JPEG copied; the same stream with an inverting /Decode converted;
    // one stream with two soft masks twice; two identical objects once.
    EXPECT_EQ(ListFiles(out), ExpectedNames(pdf, "doc"));
    EXPECT_TRUE(ReadFile(out / "doc-001-01.jpg") == pdf.images[0].stream);
    PngImage r1, r2;
    ASSERT_TRUE(DecodePng(ReadFile(out / "doc-001-03.png"), &r1));
    ASSERT_TRUE(DecodePng(ReadFile(out / "doc-001-04.png"), &r2));
    EXPECT_GT(MaxRgbaDifference(r1.rgba, r2.rgba), 16) << "the two soft masks gave the same alpha";
}

TEST_F(ExtractLayout, ImagesInNestedAndSelfReferencingFormsAreFoundOnce) {
    FixturePdf pdf = MakeFormsPdf();
    fs::path out = Output();
    ASSERT_EQ(RunExtract(Source(pdf).string(), "1", out.string()).result, KESTRAN_EXTRACT_OK);
    ASSERT_EQ(ListFiles(out), ExpectedNames(pdf, "doc"));
    for (int i = 0; i < 3; ++i) {
        PngImage png;
        ASSERT_TRUE(DecodePng(ReadFile(out / ImageName("doc", 1, i + 1, "png")), &png));
        EXPECT_EQ(png.width, pdf.images[i].width) << pdf.images[i].what;
        EXPECT_EQ(png.height, pdf.images[i].height) << pdf.images[i].what;
    }
}

TEST_F(ExtractLayout, ImagesInPatternsSoftMaskGroupsAndAnnotationsAreFound) {
    FixturePdf pdf = MakeIndirectPlacementsPdf();
    fs::path out = Output();
    ASSERT_EQ(RunExtract(Source(pdf).string(), "1", out.string()).result, KESTRAN_EXTRACT_OK);
    ASSERT_EQ(ListFiles(out), ExpectedNames(pdf, "doc"));
    // Paint order decides the index; compare the sizes as a set.
    std::multiset<std::pair<int, int>> got, want;
    for (int i = 0; i < 3; ++i) {
        PngImage png;
        ASSERT_TRUE(DecodePng(ReadFile(out / ImageName("doc", 1, i + 1, "png")), &png));
        got.insert({png.width, png.height});
        want.insert({pdf.images[i].width, pdf.images[i].height});
    }
    EXPECT_EQ(got, want);
}

TEST_F(ExtractLayout, FileWithoutImagesSucceedsAndWritesNothing) {
    fs::path out = Output();
    EXPECT_EQ(RunExtract(Source(MakeNoImagePdf()).string(), "1-2", out.string()).result, KESTRAN_EXTRACT_OK);
    EXPECT_TRUE(ListFiles(out).empty());
}

// ---------------------------------------------------------------------------
// Page ranges

struct RangeCase {
    const char* range;
    std::set<int> pages;
};

void PrintTo(const RangeCase& c, std::ostream* os) { *os << '"' << c.range << '"'; }

class ExtractRange : public ExtractLayout, public ::testing::WithParamInterface<RangeCase> {};

// "2,5-7" -> "p2_5to7"
std::string RangeName(const ::testing::TestParamInfo<RangeCase>& info) {
    std::string name = "p";
    for (const char* c = info.param.range; *c; ++c)
        name += *c == ',' ? std::string("_") : *c == '-' ? std::string("to") : std::string(1, *c);
    return name;
}

TEST_P(ExtractRange, WritesTheImagesOfTheSelectedPagesOnly) {
    FixturePdf pdf = MakeMultiPagePdf(12);
    fs::path out = Output();
    ExtractRun run = RunExtract(Source(pdf).string(), GetParam().range, out.string());
    ASSERT_EQ(run.result, KESTRAN_EXTRACT_OK) << GetParam().range;
    EXPECT_EQ(ListFiles(out), ExpectedNames(pdf, "doc", GetParam().pages)) << GetParam().range;
    ASSERT_FALSE(run.progress.empty());
    EXPECT_EQ(run.progress.back().second, static_cast<int>(GetParam().pages.size()))
        << "total must be the number of selected pages";
}

INSTANTIATE_TEST_SUITE_P(Ranges, ExtractRange,
                         ::testing::Values(RangeCase{"1-12", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
                                           RangeCase{"3", {3}}, RangeCase{"2,5-7", {2, 5, 6, 7}},
                                           RangeCase{"10-20", {10, 11, 12}}, RangeCase{"7,3", {3, 7}},
                                           RangeCase{"3,2-4,3", {2, 3, 4}}, RangeCase{"12,40", {12}}),
                         RangeName);

TEST_F(ExtractLayout, RangeOutsideTheDocumentIsAnError) {
    fs::path out = Output();
    fs::path src = Source(MakeMultiPagePdf(3));
    EXPECT_EQ(RunExtract(src.string(), "4-9", out.string()).result, KESTRAN_EXTRACT_NO_PAGE);
    EXPECT_EQ(RunExtract(src.string(), "0", out.string()).result, KESTRAN_EXTRACT_NO_PAGE);
    EXPECT_TRUE(ListFiles(out).empty());
}

TEST_F(ExtractLayout, PageNumbersAboveNineHundredNinetyNineKeepAllDigits) {
    FixturePdf pdf = MakeMultiPagePdf(1001);
    fs::path out = Output();
    ASSERT_EQ(RunExtract(Source(pdf).string(), "1000-1001", out.string()).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"doc-1000-01.png", "doc-1001-01.png"}));
}

TEST_F(ExtractLayout, ImageIndexAboveNinetyNineKeepsAllDigits) {
    FixturePdf pdf = MakeManyImagesPdf(101, 4);
    fs::path out = Output();
    ASSERT_EQ(RunExtract(Source(pdf).string(), "1", out.string()).result, KESTRAN_EXTRACT_OK);
    std::vector<std::string> files = ListFiles(out);
    EXPECT_EQ(files.size(), 101u);
    EXPECT_TRUE(std::count(files.begin(), files.end(), "doc-001-100.png"));
    EXPECT_TRUE(std::count(files.begin(), files.end(), "doc-001-101.png"));
}

// ---------------------------------------------------------------------------
// Names

TEST_F(ExtractLayout, ExistingFilesAreNeverOverwritten) {
    FixturePdf pdf = MakeLogoPdf(2);
    fs::path src = Source(pdf);
    fs::path out = Output();
    WriteFile(out / "doc-001-01.png", "mine");
    ASSERT_EQ(RunExtract(src.string(), "1-2", out.string()).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ReadFile(out / "doc-001-01.png"), "mine");
    EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"doc-001-01 (2).png", "doc-001-01.png", "doc-001-02.jpg",
                                                       "doc-002-01.jpg"}));
    // A second and a third run find every image already there, under its
    // plain name or its " (2)": nothing is added, nothing existing changes.
    const std::vector<std::string> first = ListFiles(out);
    const std::string first_jpg = ReadFile(out / "doc-001-02.jpg");
    ASSERT_EQ(RunExtract(src.string(), "1-2", out.string()).result, KESTRAN_EXTRACT_OK);
    ASSERT_EQ(RunExtract(src.string(), "1-2", out.string()).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out), first);
    EXPECT_EQ(ReadFile(out / "doc-001-01.png"), "mine");
    EXPECT_TRUE(ReadFile(out / "doc-001-02.jpg") == first_jpg);
}

TEST_F(ExtractLayout, NonAsciiPathsForSourceAndOutput) {
    FixturePdf pdf = MakeLogoPdf(1);
    fs::create_directories(dir_ / "Bilder ü 日本");
    fs::path src = Source(pdf, "Bilder ü 日本/résumé é.pdf");
    fs::path out = Output("Ausgabe ß 画像");
    ASSERT_EQ(RunExtract(src.string(), "1", out.string()).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"résumé é-001-01.png", "résumé é-001-02.jpg"}));
}

TEST_F(ExtractLayout, StemKeepsEverythingBeforeTheLastDot) {
    fs::path out = Output();
    ASSERT_EQ(RunExtract(Source(MakeJpegPdf(JpegKind::Gray), "report.v2.PDF").string(), "1", out.string()).result,
              KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"report.v2-001-01.jpg"}));
}

TEST_F(ExtractLayout, TwoSourcesInOneFolderKeepTheirOwnNames) {
    fs::path out = Output();
    ASSERT_EQ(RunExtract(Source(MakeJpegPdf(JpegKind::Gray), "a.pdf").string(), "1", out.string()).result,
              KESTRAN_EXTRACT_OK);
    ASSERT_EQ(RunExtract(Source(MakeJp2Pdf(), "b.pdf").string(), "1", out.string()).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"a-001-01.jpg", "b-001-01.jp2"}));
}

}  // namespace
