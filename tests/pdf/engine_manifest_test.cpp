// The record of every image found (the manifest's rows), the filters that
// leave images out, placements, and a second run that writes nothing new.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "pdf/image_extractor.h"
#include "pdf/manifest.h"
#include "pdf/output_file.h"
#include "pdf/pixel_hash.h"
#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

extern "C" {
#include <mupdf/fitz.h>
}

using namespace kestran::pdf;
using namespace fixtures;
namespace fs = std::filesystem;

namespace {

struct Extraction {
    int result = -1;
    ExtractStats stats;
    std::vector<ImageRecord> records;
    std::vector<std::string> lines;
};

Extraction Extract(const fs::path& source, const fs::path& out, const ImageFilters& filters = {},
                   size_t stream_bytes = kDefaultStandInBytes)
{
    fs::create_directories(out);
    Extraction run;
    ExtractOptions options;
    options.workers = 1;
    options.stream_bytes = stream_bytes;
    options.filters = filters;
    options.record = [&](const ImageRecord& record) { run.records.push_back(record); };
    options.log = [&](const std::string& line) { run.lines.push_back(line); };
    run.result = ExtractImagesFromFile(source.c_str(), "1-", out.c_str(), nullptr, nullptr, &run.stats, options);
    return run;
}

std::string Sha256Hex(const std::string& bytes)
{
    fz_sha256 state;
    fz_sha256_init(&state);
    fz_sha256_update(&state, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    unsigned char digest[32];
    fz_sha256_final(&state, digest);
    char hex[65];
    for (int i = 0; i < 32; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

// A PNG's pHYs chunk as (x, y) pixels per metre; (0, 0) when it has none.
std::pair<uint32_t, uint32_t> PngPhys(const std::string& png)
{
    const size_t at = png.find("pHYs");
    if (at == std::string::npos || at + 13 > png.size())
        return {0, 0};
    auto u32 = [&](size_t i) {
        return uint32_t(uint8_t(png[i])) << 24 | uint32_t(uint8_t(png[i + 1])) << 16 |
               uint32_t(uint8_t(png[i + 2])) << 8 | uint32_t(uint8_t(png[i + 3]));
    };
    return {u32(at + 4), u32(at + 8)};
}

TEST(Manifest, EveryImageFoundHasARowSayingWhatBecameOfIt)
{
    TempDir dir;
    const fs::path source = dir / "doc.pdf";
    WriteFile(source, MakeManifestActionsPdf().bytes);
    const ImageFilters filters{8, true};
    struct Row {
        int page, index;
        const char* action;
        const char* detail;
        const char* file;
    };
    const Row expected[] = {
        {1, 1, "copied", "", "doc-001-01.jpg"},
        {1, 2, "written", "", "doc-001-02.png"},
        {1, 3, "skipped", "smaller than 8 pixels", ""},
        {1, 4, "skipped", "one flat colour", ""},
        {1, 5, "skipped", "one flat colour", ""},  // a copied JPEG, decoded to tell
        {2, 1, "duplicate", "doc-001-02.png", ""},
        {2, 2, "skipped", "smaller than 8 pixels", ""},
        {2, 3, "skipped", "one flat colour", ""},
    };
    for (int pass = 1; pass <= 2; ++pass) {
        SCOPED_TRACE("run " + std::to_string(pass));
        const Extraction run = Extract(source, dir / "out", filters);
        ASSERT_EQ(run.result, KESTRAN_EXTRACT_OK);
        ASSERT_EQ(run.records.size(), std::size(expected));
        for (size_t i = 0; i < run.records.size(); ++i) {
            const ImageRecord& r = run.records[i];
            const Row& e = expected[i];
            SCOPED_TRACE("row " + std::to_string(i + 1));
            EXPECT_EQ(r.page, e.page);
            EXPECT_EQ(r.index, e.index);
            // The second run finds the files of the first.
            EXPECT_EQ(r.action, pass == 2 && *e.file != '\0' ? std::string("already there") : std::string(e.action));
            EXPECT_EQ(r.detail, e.detail);
            EXPECT_EQ(r.output_file, e.file);
            EXPECT_GT(r.object_num, 0);
            EXPECT_TRUE(r.placement.known);
            if (*e.file != '\0') {
                const std::string bytes = ReadFile(dir / "out" / e.file);
                EXPECT_EQ(r.output_size, bytes.size());
                EXPECT_EQ(r.sha256, Sha256Hex(bytes));
            }
        }
        EXPECT_EQ(run.records[0].filters, "DCTDecode");
        EXPECT_EQ(run.records[0].colour_space, "DeviceRGB");
        EXPECT_EQ(run.records[3].bits, 1);
        // Skips are counted and logged once per image, not per drawing.
        EXPECT_EQ(run.stats.images_skipped, 3);
        EXPECT_EQ(run.stats.images_written, pass == 1 ? 2 : 0);
        EXPECT_EQ(run.stats.images_already_there, pass == 1 ? 0 : 2);
        EXPECT_EQ(ListFiles(dir / "out"), (std::vector<std::string>{"doc-001-01.jpg", "doc-001-02.png"}));
        EXPECT_TRUE(StrayFiles(dir / "out").empty());
    }
    // Streamed from the file and written by rows, the same rows (a flat
    // image's file is dropped once its last row is seen), except for the
    // white JPEG: copied straight from the file, it is never decoded.
    const Extraction streamed = Extract(source, dir / "streamed", filters, 1);
    ASSERT_EQ(streamed.records.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(streamed.records[i].action, i == 4 ? "copied" : expected[i].action) << i;
    EXPECT_TRUE(StrayFiles(dir / "streamed").empty());
    // Without filters every image is written, the blank ones included.
    const Extraction all = Extract(source, dir / "all");
    EXPECT_EQ(all.stats.images_written, 5);
    EXPECT_EQ(all.stats.images_skipped, 0);
}

TEST(Manifest, TheServiceTakesTheFiltersAndWritesTheManifestItIsGiven)
{
    TempDir dir;
    const fs::path source = dir / "doc.pdf";
    WriteFile(source, MakeManifestActionsPdf().bytes);
    fs::create_directories(dir / "out");
    const std::string manifest = (dir / "list.jsonl").string();
    const KestranExtractChoices choices{0, 8, 1, manifest.c_str()};
    PdfServiceTable table{};
    ASSERT_EQ(CreatePdfService(&table), 0);
    KestranExtractCounts counts{-1, -1, -1};
    EXPECT_EQ(table.ExtractImagesChosen(source.c_str(), "1-", (dir / "out").c_str(), nullptr, nullptr, &choices,
                                        &counts),
              KESTRAN_EXTRACT_OK);
    EXPECT_EQ(counts.images_written, 2);
    EXPECT_EQ(counts.images_skipped, 3);
    EXPECT_EQ(counts.images_already_there, 0);
    // Again into the same folder, without the manifest: nothing new is written.
    const KestranExtractChoices again{0, 8, 1, nullptr};
    EXPECT_EQ(table.ExtractImagesChosen(source.c_str(), "1-", (dir / "out").c_str(), nullptr, nullptr, &again,
                                        &counts),
              KESTRAN_EXTRACT_OK);
    FreePdfService(&table);
    EXPECT_EQ(counts.images_written, 0);
    EXPECT_EQ(counts.images_already_there, 2);
    const std::string rows = ReadFile(manifest);
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 8);
    EXPECT_EQ(rows.rfind("{\"source\":", 0), 0u);
}

TEST(Manifest, PlacementsUnderScaledAndTurnedMatricesAndInTheFiles)
{
    TempDir dir;
    const fs::path source = dir / "doc.pdf";
    WriteFile(source, MakePlacementsPdf().bytes);
    const Extraction run = Extract(source, dir / "out");
    ASSERT_EQ(run.result, KESTRAN_EXTRACT_OK);
    struct Row {
        int page;
        const char* action;
        double x0, y0, x1, y1, ppi_x, ppi_y;
        const char* file;
    };
    // Page 1 draws its image twice: one row, the first placement.
    const Row expected[] = {
        {1, "written", 100, 200, 180, 220, 36, 72, "doc-001-01.png"},
        {2, "written", 290, 100, 300, 140, 72, 144, "doc-002-01.png"},
        {3, "written", 190, 300, 234.64, 337.32, 72, 72, "doc-003-01.png"},
        {4, "written", 0, 0, 15, 30, 144, 72, "doc-004-01.tif"},
        {5, "duplicate", 0, 0, 40, 40, 72, 36, ""},
    };
    ASSERT_EQ(run.records.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const Row& e = expected[i];
        const ImageRecord& r = run.records[i];
        SCOPED_TRACE("page " + std::to_string(e.page));
        EXPECT_EQ(r.page, e.page);
        EXPECT_EQ(r.action, e.action);
        ASSERT_TRUE(r.placement.known);
        EXPECT_NEAR(r.placement.x0, e.x0, 0.01);
        EXPECT_NEAR(r.placement.y0, e.y0, 0.01);
        EXPECT_NEAR(r.placement.x1, e.x1, 0.01);
        EXPECT_NEAR(r.placement.y1, e.y1, 0.01);
        EXPECT_NEAR(r.placement.ppi_x, e.ppi_x, 0.01);
        EXPECT_NEAR(r.placement.ppi_y, e.ppi_y, 0.01);
        const std::string file(e.file);
        if (file.size() > 4 && file.substr(file.size() - 4) == ".png") {
            const auto phys = PngPhys(ReadFile(dir / "out" / file));
            EXPECT_EQ(phys.first, uint32_t(std::lround(e.ppi_x / 0.0254)));
            EXPECT_EQ(phys.second, uint32_t(std::lround(e.ppi_y / 0.0254)));
        } else if (!file.empty()) {
            TiffImage tiff;
            ASSERT_TRUE(DecodeTiff(ReadFile(dir / "out" / file), &tiff));
            EXPECT_NEAR(tiff.x_resolution, e.ppi_x, 0.01);
            EXPECT_NEAR(tiff.y_resolution, e.ppi_y, 0.01);
            EXPECT_EQ(tiff.resolution_unit, 2) << "inch";
            EXPECT_EQ(tiff.width, 30) << "the data is unchanged";
        }
    }
    EXPECT_EQ(run.records[4].detail, "doc-001-01.png");
}

TEST(Manifest, RowsQuoteAndEscapeWhatTheNamesHold)
{
    ImageRecord record;
    record.source = "a \"b\", c\nd\x01\xff.pdf";
    record.page = 2;
    record.index = 1;
    record.width = 5;
    record.height = 6;
    record.bits = 8;
    record.action = "written";
    record.output_file = "x.png";
    record.output_size = 12;
    struct Case {
        ManifestFormat format;
        const char* row;
    } cases[] = {
        {ManifestFormat::Csv, "\"a \"\"b\"\", c\nd\x01\xff.pdf\",2,1,inline,5,6,8,,,written,,x.png,12,,,,,,,\r\n"},
        {ManifestFormat::JsonLines,
         "{\"source\":\"a \\\"b\\\", c\\nd\\u0001\xEF\xBF\xBD.pdf\",\"page\":2,\"index\":1,\"object\":\"inline\","
         "\"width\":5,\"height\":6,\"bits\":8,\"colour_space\":\"\",\"filters\":\"\",\"action\":\"written\","
         "\"detail\":\"\",\"output_file\":\"x.png\",\"size\":12,\"sha256\":\"\",\"x0\":null,\"y0\":null,"
         "\"x1\":null,\"y1\":null,\"ppi_x\":null,\"ppi_y\":null}\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ManifestRow(c.format, record), c.row);
    record.placement = PlacementOf(2, 0, 0, 1, 0.5, 0, 1, 1);
    EXPECT_NE(ManifestRow(ManifestFormat::Csv, record).find(",0.50,0.00,2.50,1.00,36.00,72.00\r\n"), std::string::npos);
}

TEST(Manifest, ATakenNameGetsANumberAndTheFileItsHeader)
{
    TempDir dir;
    WriteFile(dir / "list.csv", "mine");
    ManifestWriter csv;
    ASSERT_TRUE(csv.Open((dir / "list.csv").string()));
    EXPECT_EQ(csv.Path(), (dir / "list (2).csv").string());
    ManifestWriter jsonl;
    ASSERT_TRUE(jsonl.Open((dir / "LIST.JSONL").string()));
    EXPECT_EQ(jsonl.Format(), ManifestFormat::JsonLines);
    EXPECT_EQ(ReadFile(dir / "list.csv"), "mine");
    EXPECT_EQ(ReadFile(dir / "list (2).csv"), ManifestHeader(ManifestFormat::Csv));
    EXPECT_EQ(ReadFile(dir / "LIST.JSONL"), "");
    EXPECT_FALSE(ManifestWriter().Open((dir / "missing" / "m.csv").string()));
}

TEST(FlatWatch, FindsAPixelThatDiffersWhereverItIsAndHoweverTheBytesCome)
{
    for (size_t pixel : {1u, 3u, 4u, 8u}) {
        for (size_t piece : {1u, 7u, 5000u}) {
            for (long differs : {-1L, 0L, 120L, 999L}) {  // the pixel that differs; -1: none
                std::vector<uint8_t> bytes(1000 * pixel);
                for (size_t i = 0; i < bytes.size(); ++i)
                    bytes[i] = static_cast<uint8_t>(i % pixel + 1);
                if (differs >= 0)
                    bytes[size_t(differs) * pixel + pixel - 1] ^= 1;
                FlatWatch watch(pixel);
                for (size_t at = 0; at < bytes.size(); at += piece)
                    watch.Add(bytes.data() + at, std::min(piece, bytes.size() - at));
                EXPECT_EQ(watch.Flat(), differs < 0) << pixel << " " << piece << " " << differs;
            }
        }
    }
}

TEST(SameFileContent, OnlyTheSameBytes)
{
    TempDir dir;
    std::string large(200000, 'x');
    std::string large_changed = large;
    large_changed.back() = 'y';
    struct Case {
        std::string a, b;
        bool same;
    } cases[] = {{"abc", "abc", true}, {"abc", "abd", false}, {"abc", "abcd", false}, {"", "", true},
                 {large, large, true}, {large, large_changed, false}};
    for (const Case& c : cases) {
        WriteFile(dir / "a", c.a);
        WriteFile(dir / "b", c.b);
        EXPECT_EQ(SameFileContent((dir / "a").string(), (dir / "b").string()), c.same) << c.a.size();
    }
    EXPECT_FALSE(SameFileContent((dir / "a").string(), (dir / "missing").string()));
}

}  // namespace
