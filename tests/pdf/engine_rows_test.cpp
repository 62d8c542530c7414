// Images written row by row: 1-bit pages and stencils under CCITT, and
// samples under Flate, LZW, RunLength or no compression, are decoded from the
// file a block of rows at a time, so memory does not follow the image's size.
// Each case checks the rows of the output against what was encoded, without
// ever decoding the whole output either.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "pdf/cancel_flag.h"
#include "pdf/image_extractor.h"
#include "support/pdf_fixtures.h"
#include "support/row_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;

namespace {

// The samples of a bilevel page as the PDF decodes them: CCITT's default
// /BlackIs1 false gives 0 for black.
std::vector<uint8_t> DecodedPageRow(int width, int height, int y)
{
    std::vector<uint8_t> row;
    TestPageRow(width, height, y, row);
    for (uint8_t& b : row)
        b = static_cast<uint8_t>(~b);
    return row;
}

// Bits of `row` beyond `width` pixels are padding: cleared for comparison.
void ClearPadding(std::vector<uint8_t>& row, int width)
{
    if (width % 8 != 0 && !row.empty())
        row.back() &= static_cast<uint8_t>(0xff << (8 - width % 8));
}

std::string CcittDict(int width, int height, const std::string& image_entries, const std::string& parms = "")
{
    return "/Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " + std::to_string(height) +
           " " + image_entries + " /Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns " + std::to_string(width) +
           " /Rows " + std::to_string(height) + parms + " >>";
}

// A one-page PDF drawing one image object (after `paint` operators).
std::string OneImagePage(const std::string& dict, const std::string& stream, const std::string& paint = "")
{
    PdfWriter w;
    const int num = w.AddStream(dict, stream);
    w.AddPage(XObjectResources({{"Im", num}}), paint + DrawXObject("Im", 0, 0, 612, 792));
    return w.Build();
}

int Extract(const fs::path& pdf, const fs::path& out, size_t stream_bytes = kestran::pdf::kDefaultStandInBytes)
{
    fs::create_directories(out);
    kestran::pdf::ExtractOptions options;
    options.stream_bytes = stream_bytes;
    return kestran::pdf::ExtractImagesFromFile(pdf.c_str(), "1-9999", out.c_str(), nullptr, nullptr, nullptr, options);
}

// ---------------------------------------------------------------------------
// Bilevel pages and stencils: every row compared with the page it was made of.

struct BilevelCase {
    const char* name;
    int width;
    int height;
    bool stencil;
    const char* decode;   // "" for the default
    const char* paint;    // fill colour operators before the stencil
    uint8_t paint_rgb[3];
    bool ones_are_black;  // the output's 1 bits (white, or the paint) are the page's black pixels
};

void PrintTo(const BilevelCase& c, std::ostream* os) { *os << c.name; }

class RowsBilevel : public ::testing::TestWithParam<BilevelCase> {
protected:
    void SetUp() override { kestran::pdf::ClearCancel(); }
    TempDir dir_;
};

TEST_P(RowsBilevel, OutputRowsAreThePageRows)
{
    const BilevelCase& c = GetParam();
    const std::string g4 = EncodeG4(c.width, c.height, [&](int y, std::vector<uint8_t>& row) {
        TestPageRow(c.width, c.height, y, row);
    });
    ASSERT_FALSE(g4.empty());
    const std::string entries = c.stencil ? std::string("/ImageMask true /BitsPerComponent 1") + c.decode
                                          : std::string("/ColorSpace /DeviceGray /BitsPerComponent 1") + c.decode;
    WriteFile(dir_ / "page.pdf", OneImagePage(CcittDict(c.width, c.height, entries), g4, c.paint));
    ASSERT_EQ(Extract(dir_ / "page.pdf", dir_ / "out"), KESTRAN_EXTRACT_OK);
    ASSERT_EQ(ListFiles(dir_ / "out"), std::vector<std::string>{"page-001-01.png"});

    PngRowReader png((dir_ / "out" / "page-001-01.png").string());
    ASSERT_TRUE(png.ok()) << png.error();
    EXPECT_EQ(png.width(), static_cast<uint32_t>(c.width));
    EXPECT_EQ(png.height(), static_cast<uint32_t>(c.height));
    EXPECT_EQ(png.bit_depth(), 1);
    if (c.stencil) {
        // Two entries: the unpainted one transparent, the paint colour opaque.
        ASSERT_EQ(png.color_type(), 3);
        ASSERT_EQ(png.palette().size(), 6u);
        ASSERT_EQ(png.transparency().size(), 2u);
        EXPECT_EQ(png.transparency()[0], 0);
        EXPECT_EQ(png.transparency()[1], 255);
        EXPECT_EQ(std::vector<uint8_t>(png.palette().begin() + 3, png.palette().end()),
                  std::vector<uint8_t>(c.paint_rgb, c.paint_rgb + 3));
    } else {
        EXPECT_EQ(png.color_type(), 0);
    }
    std::vector<uint8_t> row;
    int differing = 0;
    for (int y = 0; y < c.height && png.NextRow(row); ++y) {
        std::vector<uint8_t> expected;
        TestPageRow(c.width, c.height, y, expected);
        if (!c.ones_are_black)
            for (uint8_t& b : expected)
                b = static_cast<uint8_t>(~b);
        ClearPadding(row, c.width);
        ClearPadding(expected, c.width);
        if (row != expected && ++differing <= 3)
            ADD_FAILURE() << "row " << y << " differs";
    }
    EXPECT_EQ(png.row_index(), static_cast<uint32_t>(c.height)) << png.error();
    EXPECT_EQ(differing, 0);
}

const BilevelCase kBilevelCases[] = {
    // CCITT decodes black as 0 (/BlackIs1 false): white is gray 1 on a page,
    // and a stencil paints the black pixels under the default /Decode [0 1].
    {"Page", 2479, 3508, false, "", "", {0, 0, 0}, false},
    {"PageInverted", 1700, 2200, false, " /Decode [1 0]", "", {0, 0, 0}, true},
    {"StencilRed", 2479, 1000, true, "", "1 0 0 rg ", {255, 0, 0}, true},
    {"StencilDecodeInverted", 1201, 777, true, " /Decode [1 0]", "0 0 1 rg ", {0, 0, 255}, false},
    {"StencilWhite", 640, 480, true, "", "1 g ", {255, 255, 255}, true},
    // The size measured on a scanner's stencil.
    {"StencilLarge", 9000, 12000, true, "", "0.2 0.4 0.6 rg ", {51, 102, 153}, true},
};

INSTANTIATE_TEST_SUITE_P(Ccitt, RowsBilevel, ::testing::ValuesIn(kBilevelCases),
                         [](const ::testing::TestParamInfo<BilevelCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Every filter the rows way reads: the streamed file (samples read from the
// PDF file by rows), the held one (samples from MuPDF's compressed copy) and
// MuPDF's own drawing of the object show the same pixels.

struct FilterCase {
    const char* name;
    int width;
    int height;
    const char* colorspace;
    int components;
    int bpc;
    const char* extra;  // more image entries (/Decode)
    enum Filter { Flate, Lzw, RunLength, None, Ascii85Flate, Ccitt, CcittStencil } filter;
    // A mask beside the image: "" none; "soft<bpc>" an /SMask of that depth,
    // "stencil" a stencil /Mask; "-inverted" adds /Decode [1 0]; "-half" makes
    // it half the image's size.
    const char* mask = "";
};

void PrintTo(const FilterCase& c, std::ostream* os) { *os << c.name; }

class RowsFilters : public ::testing::TestWithParam<FilterCase> {
protected:
    void SetUp() override { kestran::pdf::ClearCancel(); }
    TempDir dir_;
};

std::string Ascii85(const std::string& data)
{
    std::string out;
    for (size_t i = 0; i < data.size(); i += 4) {
        uint32_t v = 0;
        const size_t n = std::min<size_t>(4, data.size() - i);
        for (size_t k = 0; k < 4; ++k)
            v = (v << 8) | (k < n ? static_cast<uint8_t>(data[i + k]) : 0);
        char group[5];
        for (int k = 4; k >= 0; --k) {
            group[k] = static_cast<char>('!' + v % 85);
            v /= 85;
        }
        out.append(group, n + 1);
    }
    return out + "~>";
}

TEST_P(RowsFilters, StreamedHeldAndDrawnAgree)
{
    const FilterCase& c = GetParam();
    std::string entries = "/Type /XObject /Subtype /Image /Width " + std::to_string(c.width) + " /Height " +
                          std::to_string(c.height) + " /BitsPerComponent " + std::to_string(c.bpc);
    entries += c.filter == FilterCase::CcittStencil ? std::string(" /ImageMask true")
                                                    : std::string(" /ColorSpace ") + c.colorspace;
    entries += c.extra;
    const std::string samples = MakeSamples(c.width, c.height, c.components, c.bpc, 7);
    std::string stream;
    switch (c.filter) {
    case FilterCase::Flate: stream = Deflate(samples); entries += " /Filter /FlateDecode"; break;
    case FilterCase::Lzw: stream = EncodeLzw(samples); entries += " /Filter /LZWDecode"; break;
    case FilterCase::RunLength: stream = EncodeRunLength(samples); entries += " /Filter /RunLengthDecode"; break;
    case FilterCase::None: stream = samples; break;
    case FilterCase::Ascii85Flate:
        stream = Ascii85(Deflate(samples));
        entries += " /Filter [/ASCII85Decode /FlateDecode]";
        break;
    case FilterCase::Ccitt:
    case FilterCase::CcittStencil:
        stream = EncodeG4(c.width, c.height, [&](int y, std::vector<uint8_t>& row) {
            TestPageRow(c.width, c.height, y, row);
        });
        entries += " /Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns " + std::to_string(c.width) + " >>";
        break;
    }
    PdfWriter w;
    const std::string mask(c.mask);
    if (!mask.empty()) {
        const bool soft = mask.compare(0, 4, "soft") == 0;
        const bool half = mask.find("-half") != std::string::npos;
        const int mw = half ? c.width / 2 : c.width, mh = half ? c.height / 2 : c.height;
        const int mbpc = soft ? std::atoi(mask.c_str() + 4) : 1;
        std::string mdict = "/Type /XObject /Subtype /Image /Width " + std::to_string(mw) + " /Height " +
                            std::to_string(mh) + " /BitsPerComponent " + std::to_string(mbpc) +
                            (soft ? " /ColorSpace /DeviceGray" : " /ImageMask true") + " /Filter /FlateDecode";
        if (mask.find("-inverted") != std::string::npos)
            mdict += " /Decode [1 0]";
        const int m = w.AddStream(mdict, Deflate(MakeSamples(mw, mh, 1, mbpc, 3)));
        entries += (soft ? " /SMask " : " /Mask ") + Ref(m);
    }
    const int num = w.AddStream(entries, stream);
    w.AddPage(XObjectResources({{"Im", num}}), "1 0 0 rg " + DrawXObject("Im", 0, 0, 612, 792));
    const std::string pdf = w.Build();
    WriteFile(dir_ / "f.pdf", pdf);
    ASSERT_EQ(Extract(dir_ / "f.pdf", dir_ / "streamed", 0), KESTRAN_EXTRACT_OK);
    ASSERT_EQ(Extract(dir_ / "f.pdf", dir_ / "held", std::numeric_limits<size_t>::max()), KESTRAN_EXTRACT_OK);
    PngImage streamed, held;
    std::string error;
    ASSERT_TRUE(DecodePng(ReadFile(dir_ / "streamed" / "f-001-01.png"), &streamed, &error)) << error;
    ASSERT_TRUE(DecodePng(ReadFile(dir_ / "held" / "f-001-01.png"), &held, &error)) << error;
    EXPECT_EQ(streamed.bit_depth, held.bit_depth);
    EXPECT_EQ(streamed.color_type, held.color_type);
    EXPECT_TRUE(streamed.rgba == held.rgba);
    EXPECT_TRUE(streamed.samples16 == held.samples16);
    const bool converted = std::string(c.colorspace).find("CMYK") != std::string::npos ||
                           std::string(c.colorspace).find("Separation") != std::string::npos;
    if (std::string(c.colorspace).find("Lab") == std::string::npos) {
        EXPECT_EQ(streamed.bit_depth, converted ? 8 : c.bpc) << "samples kept at their depth";
    }
    int dw = 0, dh = 0;
    const std::vector<uint8_t> drawn = DrawImageWithMupdf(pdf, num, &dw, &dh, std::string(), 0xff0000);
    ASSERT_EQ(dw, c.width);
    ASSERT_EQ(dh, c.height);
    // MuPDF's drawing went through premultiplied alpha: a few levels apart
    // where a mask is nearly transparent.
    EXPECT_LE(MaxRgbaDifference(streamed.rgba, drawn), mask.empty() ? 1 : 4);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, RowsFilters,
    ::testing::Values(FilterCase{"FlateGray8", 700, 500, "/DeviceGray", 1, 8, "", FilterCase::Flate},
                      FilterCase{"LzwRgb8", 640, 480, "/DeviceRGB", 3, 8, "", FilterCase::Lzw},
                      FilterCase{"LzwIndexed4", 333, 257, "[/Indexed /DeviceRGB 15 <000000ff0000 00ff00 0000ff ffff00 ff00ff 00ffff ffffff 808080 800000 008000 000080 808000 800080 008080 c0c0c0>]", 1, 4, "", FilterCase::Lzw},
                      FilterCase{"RunLengthGray2", 501, 300, "/DeviceGray", 1, 2, "", FilterCase::RunLength},
                      FilterCase{"UncompressedRgb16", 200, 150, "/DeviceRGB", 3, 16, "", FilterCase::None},
                      FilterCase{"FlateGray1Inverted", 777, 555, "/DeviceGray", 1, 1, " /Decode [1 0]", FilterCase::Flate},
                      FilterCase{"FlateRgbInverted", 300, 200, "/DeviceRGB", 3, 8, " /Decode [1 0 1 0 1 0]", FilterCase::Flate},
                      FilterCase{"Ascii85Flate", 320, 240, "/DeviceRGB", 3, 8, "", FilterCase::Ascii85Flate},
                      FilterCase{"CcittGray1", 1728, 1100, "/DeviceGray", 1, 1, "", FilterCase::Ccitt},
                      FilterCase{"CcittStencil", 1000, 800, "", 1, 1, "", FilterCase::CcittStencil},
                      FilterCase{"CcittStencilInverted", 1000, 800, "", 1, 1, " /Decode [1 0]", FilterCase::CcittStencil},
                      // Masks of the image's size are read beside it; others are drawn to size.
                      FilterCase{"RgbSoftMask8", 300, 200, "/DeviceRGB", 3, 8, "", FilterCase::Flate, "soft8"},
                      FilterCase{"GraySoftMask1", 301, 201, "/DeviceGray", 1, 8, "", FilterCase::Lzw, "soft1"},
                      FilterCase{"RgbSoftMask16", 150, 100, "/DeviceRGB", 3, 16, "", FilterCase::Flate, "soft16"},
                      FilterCase{"Rgb16SoftMask4Inverted", 150, 100, "/DeviceRGB", 3, 16, "", FilterCase::Flate, "soft4-inverted"},
                      FilterCase{"GrayStencilMask", 257, 130, "/DeviceGray", 1, 8, "", FilterCase::RunLength, "stencil"},
                      FilterCase{"RgbStencilMaskInverted", 257, 130, "/DeviceRGB", 3, 8, "", FilterCase::Flate, "stencil-inverted"},
                      FilterCase{"RgbSoftMaskHalfSize", 300, 200, "/DeviceRGB", 3, 8, "", FilterCase::Flate, "soft8-half"}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// A 35000 x 35000 page: written as a 1-bit PNG in memory that does not grow
// with it (it used to be skipped as too large).

TEST(RowsHugePage, IsWrittenAsOneBitPngInBoundedMemory)
{
    kestran::pdf::ClearCancel();
    TempDir dir;
    const int side = 35000;
    const std::string g4 = EncodeG4(side, side, [&](int y, std::vector<uint8_t>& row) {
        TestPageRow(side, side, y, row);
    });
    ASSERT_FALSE(g4.empty());
    WriteFile(dir / "huge.pdf",
              OneImagePage(CcittDict(side, side, "/ColorSpace /DeviceGray /BitsPerComponent 1"), g4));

    // Peak memory of a child that only starts, then of one that extracts.
    const long idle = PeakRssOfChild([] { return 0; }, nullptr);
    int status = -1;
    const long peak = PeakRssOfChild(
        [&] { return Extract(dir / "huge.pdf", dir / "out") == KESTRAN_EXTRACT_OK ? 0 : 1; }, &status);
    ASSERT_EQ(status, 0);
    std::printf("[ measured ] 35000 x 35000 CCITT page: peak RSS %ld KiB (idle child %ld KiB, G4 data %zu KiB)\n",
                peak, idle, g4.size() >> 10);
    RecordProperty("peak_rss_kib", std::to_string(peak));
    // Decoded whole this page is 1.2 GB at one byte per pixel, 153 MB at one bit.
    EXPECT_LT(peak - idle, 64L << 10);

    ASSERT_EQ(ListFiles(dir / "out"), std::vector<std::string>{"huge-001-01.png"});
    PngRowReader png((dir / "out" / "huge-001-01.png").string());
    ASSERT_TRUE(png.ok()) << png.error();
    EXPECT_EQ(png.width(), static_cast<uint32_t>(side));
    EXPECT_EQ(png.height(), static_cast<uint32_t>(side));
    EXPECT_EQ(png.bit_depth(), 1);
    EXPECT_EQ(png.color_type(), 0);
    std::vector<uint8_t> row;
    for (int y : {0, 1, 2, 97, 1000, 1010, 17500, 20015, side - 2, side - 1}) {
        while (png.row_index() <= static_cast<uint32_t>(y))
            ASSERT_TRUE(png.NextRow(row)) << png.error();
        std::vector<uint8_t> expected = DecodedPageRow(side, side, y);
        ClearPadding(row, side);
        ClearPadding(expected, side);
        EXPECT_TRUE(row == expected) << "row " << y;
    }
}

// ---------------------------------------------------------------------------
// The identity of a large image read from the file: equal objects give one
// file, anything that changes the decoded pixels gives two.

struct KeyCase {
    const char* name;
    const char* second_entries;  // image entries of the second object
    const char* second_parms;    // extra /DecodeParms entries of the second object
    size_t files;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class RowsKey : public ::testing::TestWithParam<KeyCase> {};

TEST_P(RowsKey, SameDecodedImageSameFile)
{
    kestran::pdf::ClearCancel();
    TempDir dir;
    const int w = 1200, h = 900;
    const std::string g4 = EncodeG4(w, h, [&](int y, std::vector<uint8_t>& row) { TestPageRow(w, h, y, row); });
    PdfWriter writer;
    const int a = writer.AddStream(CcittDict(w, h, "/ColorSpace /DeviceGray /BitsPerComponent 1"), g4);
    const int b = writer.AddStream(CcittDict(w, h, GetParam().second_entries, GetParam().second_parms), g4);
    writer.AddPage(XObjectResources({{"A", a}, {"B", b}}),
                   DrawXObject("A", 0, 0, 300, 300) + DrawXObject("B", 300, 300, 300, 300));
    WriteFile(dir / "two.pdf", writer.Build());
    ASSERT_EQ(Extract(dir / "two.pdf", dir / "out", 0), KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(dir / "out").size(), GetParam().files);
}

INSTANTIATE_TEST_SUITE_P(StandIns, RowsKey,
                         ::testing::Values(KeyCase{"Equal", "/ColorSpace /DeviceGray /BitsPerComponent 1", "", 1},
                                           KeyCase{"Inverted", "/ColorSpace /DeviceGray /BitsPerComponent 1 /Decode [1 0]", "", 2},
                                           KeyCase{"BlackIs1", "/ColorSpace /DeviceGray /BitsPerComponent 1", " /BlackIs1 true", 2},
                                           KeyCase{"Stencil", "/ImageMask true", "", 2}),
                         [](const ::testing::TestParamInfo<KeyCase>& info) { return info.param.name; });

}  // namespace
