// JPEG 2000 decoded a window of rows (or a row of tiles) at a time gives
// MuPDF's whole decode, sample for sample; what a header declares is read
// without decoding, and what a decode costs is known before it starts.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "pdf/cancel_flag.h"
#include "pdf/image_extractor.h"
#include "pdf/jpx_decode.h"
#include "pdf/mu_context.h"
#include "pdf/mu_try.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
using namespace kestran::pdf;
namespace fs = std::filesystem;

namespace {

struct WindowCase {
    const char* name;
    int width;
    int height;
    Jp2Layout layout;
    uint32_t window_rows;  // for one-tile images
};

class JpxWindows : public ::testing::TestWithParam<WindowCase> {};

TEST_P(JpxWindows, SameSamplesAsMuPdfsWholeDecode) {
    const WindowCase& c = GetParam();
    const std::string jp2 = EncodeJp2Layout(c.width, c.height, c.layout, 5);
    const auto* data = reinterpret_cast<const uint8_t*>(jp2.data());
    const JpxHeader header = ReadJpxHeader(data, jp2.size());
    ASSERT_EQ(header.width, uint32_t(c.width));
    ASSERT_EQ(header.height, uint32_t(c.height));

    MuContextPtr ctx = NewThreadContext();
    fz_pixmap* whole = nullptr;
    ASSERT_TRUE(MuTry(ctx.get(), [&] { whole = fz_load_jpx(ctx.get(), data, jp2.size(), nullptr); }));
    const PixmapHandle held(ctx.get(), whole);
    const int n = fz_pixmap_components(ctx.get(), whole);

    JpxRows rows(data, jp2.size(), header, c.window_rows);
    std::string why;
    ASSERT_TRUE(rows.Open(&why)) << why;
    ASSERT_EQ(rows.components(), n);
    ASSERT_EQ(rows.width(), uint32_t(fz_pixmap_width(ctx.get(), whole)));
    // Read in pieces that do not match the windows, the last one short.
    std::vector<uint8_t> got(size_t(c.width) * c.height * n);
    const size_t stride = size_t(c.width) * n;
    for (uint32_t y = 0; y < rows.height();) {
        const uint32_t count = std::min<uint32_t>(37, rows.height() - y);
        ASSERT_TRUE(rows.Read(count, got.data() + stride * y)) << "row " << y;
        y += count;
    }
    std::vector<uint8_t> want(got.size());
    for (int y = 0; y < c.height; ++y)
        std::memcpy(want.data() + stride * y,
                    fz_pixmap_samples(ctx.get(), whole) + size_t(fz_pixmap_stride(ctx.get(), whole)) * y, stride);
    EXPECT_TRUE(got == want) << "windowed and whole decodes differ";
    EXPECT_FALSE(rows.Read(1, got.data())) << "no row past the last";
}

Jp2Layout Layout(int components, int precision, int tile, bool is_signed = false, bool codestream = false,
                 float ratio = 0) {
    Jp2Layout l;
    l.components = components;
    l.precision = precision;
    l.tile = tile;
    l.is_signed = is_signed;
    l.codestream = codestream;
    l.compression_ratio = ratio;
    return l;
}

// Heights of several windows (the code-blocks are 64 rows high), tiles that
// do not divide the image.
INSTANTIATE_TEST_SUITE_P(Layouts, JpxWindows,
                         ::testing::Values(WindowCase{"RgbOneTile", 300, 700, Layout(3, 8, 0, false, false, 12), 128},
                                           WindowCase{"RgbTiled", 300, 290, Layout(3, 8, 128), 0},
                                           WindowCase{"Gray16OneTile", 260, 600, Layout(1, 16, 0), 64},
                                           WindowCase{"Gray16Tiled", 260, 300, Layout(1, 16, 96), 0},
                                           WindowCase{"Cmyk12Codestream", 150, 500, Layout(4, 12, 0, false, true), 192},
                                           WindowCase{"SignedGray4Tiled", 200, 200, Layout(1, 4, 64, true), 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JpxHeaderSize, ReadFromTheFirstBytesOfAFileOrCodestream) {
    const std::string jp2 = EncodeJp2Layout(64, 40, Layout(3, 8, 32));
    for (const std::string& bytes : {jp2, jp2.substr(0, 200), EncodeJp2Layout(64, 40, Layout(1, 12, 0, true, true))}) {
        const JpxHeader h = ReadJpxHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(h.width, 64u);
        EXPECT_EQ(h.height, 40u);
        EXPECT_GT(h.components, 0);
        EXPECT_EQ(h.block_height, 64u);
    }
    const JpxHeader tiled = ReadJpxHeader(reinterpret_cast<const uint8_t*>(jp2.data()), jp2.size());
    EXPECT_EQ(tiled.tiles_across, 2u);
    EXPECT_EQ(tiled.tiles_down, 2u);
}

TEST(JpxCost, DamagedHugeSizeIsRefusedBeforeAnythingIsAllocated) {
    const std::string jp2 = WithJp2DeclaredSize(EncodeJp2Layout(64, 40, Layout(3, 8, 0)), 0x80000000u, 500);
    const JpxHeader h = ReadJpxHeader(reinterpret_cast<const uint8_t*>(jp2.data()), jp2.size());
    ASSERT_EQ(h.width, 0x80000000u);
    for (JpxWay way : {JpxWay::Check, JpxWay::Whole, JpxWay::Windows}) {
        std::string why;
        const uint64_t need = JpxDecodeCost(h, jp2.size(), way);
        EXPECT_GT(need, uint64_t(1) << 30);
        EXPECT_EQ(TakeJpxMemory(need, DeclaredImageBudget(500 * 500 * 3), why), nullptr);
        EXPECT_EQ(why.rfind("its decoding needs more memory than the ", 0), 0u) << why;
    }
}

TEST(JpxCost, WindowsCostLessThanTheWholeAndHoldTheirMemory) {
    const std::string jp2 = EncodeJp2Layout(64, 40, Layout(3, 8, 0));
    JpxHeader h = ReadJpxHeader(reinterpret_cast<const uint8_t*>(jp2.data()), jp2.size());
    h.width = 6000;  // what a large scan declares
    h.height = 8000;
    EXPECT_LT(JpxDecodeCost(h, 4 << 20, JpxWay::Windows), JpxDecodeCost(h, 4 << 20, JpxWay::Whole) / 4);
    EXPECT_EQ(JpxWindowRows(h, 4 << 20) % 64, 0u);
    const size_t before = MuMemoryInUse();
    std::string why;
    {
        auto held = TakeJpxMemory(10 << 20, 0, why);
        ASSERT_NE(held, nullptr) << why;
        EXPECT_EQ(MuMemoryInUse(), before + (10 << 20));
    }
    EXPECT_EQ(MuMemoryInUse(), before);
}

TEST(JpxWindowsStop, AStopEndsTheRowsAtTheNextWindow) {
    const std::string jp2 = EncodeJp2Layout(200, 400, Layout(1, 8, 0));
    const auto* data = reinterpret_cast<const uint8_t*>(jp2.data());
    JpxRows rows(data, jp2.size(), ReadJpxHeader(data, jp2.size()), 64);
    ASSERT_TRUE(rows.Open(nullptr));
    std::vector<uint8_t> row(200);
    ASSERT_TRUE(rows.Read(1, row.data()));
    RequestCancel();
    bool stopped = false;
    for (int y = 1; y < 400 && !stopped; ++y)
        stopped = !rows.Read(1, row.data());
    ClearCancel();
    EXPECT_TRUE(stopped);
}

// The JP2 file with its enumerated colour space replaced: ROMM-RGB (21) is
// RGB that viewers read differently, so the file is decoded, not copied.
std::string WithEnumeratedColour(std::string jp2, uint32_t space) {
    const size_t at = jp2.find("colr");
    if (at == std::string::npos || jp2[at + 4] != 1)
        throw std::invalid_argument("no enumerated colour box");
    for (int i = 0; i < 4; ++i)
        jp2[at + 7 + i] = static_cast<char>(space >> (24 - 8 * i));
    return jp2;
}

// Two pages of JPEG 2000 images large enough to be decoded by windows: RGB in
// one tile (a PNG written as it is decoded) and CMYK in tiles (a TIFF).
const std::string& WindowedPdf() {
    static const std::string pdf = [] {
        PdfWriter w;
        const std::string rgb = WithEnumeratedColour(EncodeJp2Layout(1300, 1100, Layout(3, 8, 0, false, false, 10), 7), 21);
        const std::string inks = EncodeJp2Layout(1100, 1000, Layout(4, 8, 256, false, false, 10), 8);
        const int a = w.AddStream("/Type /XObject /Subtype /Image /Width 1300 /Height 1100 /ColorSpace /DeviceRGB "
                                  "/BitsPerComponent 8 /Filter /JPXDecode", rgb);
        const int b = w.AddStream("/Type /XObject /Subtype /Image /Width 1100 /Height 1000 /ColorSpace /DeviceCMYK "
                                  "/BitsPerComponent 8 /Filter /JPXDecode", inks);
        w.AddPage(XObjectResources({{"A", a}}), DrawXObject("A", 0, 0, 500, 400));
        w.AddPage(XObjectResources({{"B", b}}), DrawXObject("B", 0, 0, 500, 400));
        return w.Build();
    }();
    return pdf;
}

TEST(JpxWindowsExtract, SameFilesWithOneWorkerAndWithSeveral) {
    TempDir dir("kestran-jpx-windows");
    const fs::path source = dir.path() / "scan.pdf";
    WriteFile(source, WindowedPdf());
    std::map<std::string, std::string> first;
    for (int workers : {1, 3}) {
        const fs::path out = dir.path() / std::to_string(workers);
        fs::create_directories(out);
        ExtractOptions options;
        options.workers = workers;
        std::vector<std::string> lines;
        options.log = [&](const std::string& line) { lines.push_back(line); };
        ASSERT_EQ(ExtractImagesFromFile(source.c_str(), "1-", out.c_str(), nullptr, nullptr, nullptr, options),
                  KESTRAN_EXTRACT_OK);
        std::map<std::string, std::string> files;
        for (const std::string& name : ListFiles(out))
            files[name] = Md5Hex(ReadFile(out / name));
        EXPECT_EQ(files.size(), 2u) << ::testing::PrintToString(lines);
        EXPECT_EQ(files.count("scan-001-01.png") + files.count("scan-002-01.tif"), 2u) << ::testing::PrintToString(lines);
        if (workers == 1)
            first = files;
        else
            EXPECT_EQ(files, first);
    }
}

}  // namespace
