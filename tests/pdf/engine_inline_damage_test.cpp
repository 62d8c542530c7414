// A damaged inline image makes MuPDF abandon the rest of its content stream.
// The page walk blanks such images out in the document in memory and runs the
// page again: every other image must be written, each damaged one named in a
// line of the log and counted as skipped, wherever the images are (one
// content stream, an array of streams cut inside images, a form).
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "pdf/cancel_flag.h"
#include "pdf/image_extractor.h"
#include "pdf/page_walk.h"
#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    int result = -1;
    kestran::pdf::ExtractStats stats;
    std::vector<std::string> lines;
    std::vector<std::string> files;
};

Outcome ExtractAll(const TempDir& dir, const std::string& bytes)
{
    kestran::pdf::ClearCancel();
    WriteFile(dir / "doc.pdf", bytes);
    fs::create_directories(dir / "out");
    kestran::pdf::ExtractOptions options;
    Outcome run;
    options.log = [&run](const std::string& line) { run.lines.push_back(line); };
    run.result = kestran::pdf::ExtractImagesFromFile((dir / "doc.pdf").c_str(), "1-", (dir / "out").c_str(), nullptr,
                                                     nullptr, &run.stats, options);
    run.files = ListFiles(dir / "out");
    return run;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string all;
    for (const std::string& line : lines)
        all += line + "\n";
    return all;
}

// Every expected image written, in content order, with its own pixels.
void ExpectImagesWritten(const TempDir& dir, const FixturePdf& pdf, const Outcome& run)
{
    ASSERT_EQ(run.files, ExpectedNames(pdf, "doc")) << Joined(run.lines);
    for (size_t i = 0; i < pdf.images.size(); ++i) {
        const ExpectedImage& expected = pdf.images[i];
        PngImage png;
        ASSERT_TRUE(DecodePng(ReadFile(dir / "out" / ImageName("doc", 1, static_cast<int>(i) + 1, "png")), &png));
        ASSERT_EQ(png.width, expected.width) << expected.what;
        ASSERT_EQ(png.height, expected.height) << expected.what;
        for (size_t p = 0; p < static_cast<size_t>(png.width * png.height); ++p)
            for (size_t c = 0; c < 3; ++c)
                ASSERT_EQ(png.rgba[p * 4 + c], static_cast<uint8_t>(expected.stream[p * 3 + c])) << expected.what;
    }
}

struct DamageCase {
    std::string name;
    int count;
    std::map<int, InlineDamage> damaged;
    InlinePlacement placement;
    std::string where;  // how the lines name the content holding the images
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

std::vector<DamageCase> DamageCases()
{
    std::vector<DamageCase> cases;
    for (InlineDamage damage : {InlineDamage::ZeroWidth, InlineDamage::NoHeight, InlineDamage::BadColourSpace})
        cases.push_back({std::string("Middle") + InlineDamageName(damage), 9, {{4, damage}}, InlinePlacement::Page, ""});
    cases.push_back({"FirstAndLast", 6, {{0, InlineDamage::ZeroWidth}, {5, InlineDamage::NoHeight}},
                     InlinePlacement::Page, ""});
    cases.push_back({"TwoSideBySide", 8, {{3, InlineDamage::BadColourSpace}, {4, InlineDamage::ZeroWidth}},
                     InlinePlacement::Page, ""});
    cases.push_back({"AllDamaged", 3,
                     {{0, InlineDamage::ZeroWidth}, {1, InlineDamage::NoHeight}, {2, InlineDamage::BadColourSpace}},
                     InlinePlacement::Page, ""});
    // The cuts fall inside the 4th and 7th images' data: damaged images on
    // both sides of a cut and one spanning it.
    cases.push_back({"ContentsArray", 10,
                     {{1, InlineDamage::ZeroWidth}, {3, InlineDamage::NoHeight}, {8, InlineDamage::BadColourSpace}},
                     InlinePlacement::ContentsArray, ""});
    cases.push_back({"InForm", 7, {{2, InlineDamage::ZeroWidth}, {5, InlineDamage::NoHeight}}, InlinePlacement::Form,
                     " in form "});
    // Content replaced in memory is not decrypted again.
    cases.push_back({"EncryptedPage", 5, {{1, InlineDamage::ZeroWidth}}, InlinePlacement::EncryptedPage, ""});
    cases.push_back({"EncryptedForm", 5, {{3, InlineDamage::NoHeight}}, InlinePlacement::EncryptedForm, " in form "});
    return cases;
}

class InlineDamage_ : public ::testing::TestWithParam<DamageCase> {};

TEST_P(InlineDamage_, EveryOtherImageIsWrittenAndEachDamagedOneLogged)
{
    const DamageCase& c = GetParam();
    const FixturePdf pdf = MakeBrokenInlineImagesPdf(c.count, c.damaged, c.placement);
    TempDir dir;
    const Outcome run = ExtractAll(dir, pdf.bytes);
    const std::string log = Joined(run.lines);
    EXPECT_EQ(run.result, KESTRAN_EXTRACT_OK) << log;
    ExpectImagesWritten(dir, pdf, run);
    EXPECT_EQ(run.stats.images_written, static_cast<int>(pdf.images.size()));
    EXPECT_EQ(run.stats.images_skipped, static_cast<int>(c.damaged.size())) << log;
    // One line per damaged image, naming its position among the inline
    // images of its content, and nothing about the page failing.
    int skipped_lines = 0;
    for (const std::string& line : run.lines)
        if (line.find("image skipped") != std::string::npos)
            ++skipped_lines;
    EXPECT_EQ(skipped_lines, static_cast<int>(c.damaged.size())) << log;
    for (const auto& [index, damage] : c.damaged) {
        const std::string named = "page 1: image skipped: inline image " + std::to_string(index + 1) + c.where;
        EXPECT_NE(log.find(named), std::string::npos) << named << "\n" << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, InlineDamage_, ::testing::ValuesIn(DamageCases()),
                         [](const ::testing::TestParamInfo<DamageCase>& info) { return info.param.name; });

// Damage MuPDF reads past without losing its place: an unknown filter (the
// data is taken as it is stored) and data that ends early (padded). Such an
// image is drawn, so it is written, and nothing after it is lost.
class InlineDamageReadPast : public ::testing::TestWithParam<InlineDamage> {};

TEST_P(InlineDamageReadPast, EveryImageIsWrittenTheOthersExactly)
{
    const int count = 7, damaged = 3;
    const FixturePdf pdf = MakeBrokenInlineImagesPdf(count, {{damaged, GetParam()}});
    TempDir dir;
    const Outcome run = ExtractAll(dir, pdf.bytes);
    const std::string log = Joined(run.lines);
    EXPECT_EQ(run.result, KESTRAN_EXTRACT_OK) << log;
    EXPECT_EQ(run.stats.images_written, count) << log;
    EXPECT_EQ(run.stats.images_skipped, 0) << log;
    ASSERT_EQ(static_cast<int>(run.files.size()), count) << log;
    for (int i = 0, expected = 0; i < count; ++i) {
        if (i == damaged)
            continue;
        const ExpectedImage& image = pdf.images.at(static_cast<size_t>(expected++));
        PngImage png;
        ASSERT_TRUE(DecodePng(ReadFile(dir / "out" / ImageName("doc", 1, i + 1, "png")), &png));
        ASSERT_EQ(png.width * png.height * 3, static_cast<int>(image.stream.size())) << image.what;
        for (size_t p = 0; p < image.stream.size() / 3; ++p)
            for (size_t c = 0; c < 3; ++c)
                ASSERT_EQ(png.rgba[p * 4 + c], static_cast<uint8_t>(image.stream[p * 3 + c])) << image.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Damage, InlineDamageReadPast,
                         ::testing::Values(InlineDamage::UnknownFilter, InlineDamage::TooShortData),
                         [](const ::testing::TestParamInfo<InlineDamage>& info) {
                             return std::string(InlineDamageName(info.param));
                         });

// The file on disk is only read: the blanking happens in memory.
TEST(InlineDamage, TheFileIsNotChanged)
{
    const FixturePdf pdf = MakeBrokenInlineImagesPdf(5, {{2, InlineDamage::ZeroWidth}});
    TempDir dir;
    ExtractAll(dir, pdf.bytes);
    EXPECT_TRUE(ReadFile(dir / "doc.pdf") == pdf.bytes);
}

// A page of many damaged images is repaired in one pass, not one run per image.
TEST(InlineDamage, ManyDamagedImagesOnOnePage)
{
    std::map<int, InlineDamage> damaged;
    for (int i = 0; i < 600; i += 2)
        damaged[i] = i % 4 == 0 ? InlineDamage::ZeroWidth : InlineDamage::NoHeight;
    const FixturePdf pdf = MakeBrokenInlineImagesPdf(600, damaged);
    TempDir dir;
    const Outcome run = ExtractAll(dir, pdf.bytes);
    EXPECT_EQ(run.stats.images_written, 300);
    EXPECT_EQ(run.stats.images_skipped, 300);
    EXPECT_EQ(run.files, ExpectedNames(pdf, "doc"));
}

// ---------------------------------------------------------------------------
// The blanking itself, on content text.

struct BlankCase {
    const char* content;
    const char* blanked;     // the content afterwards
    int skipped;             // lines returned
};

void PrintTo(const BlankCase& c, std::ostream* os) { *os << '"' << c.content << '"'; }

class BlankInline : public ::testing::TestWithParam<BlankCase> {};

TEST_P(BlankInline, BlanksFromBIThroughEIOfDamagedImagesOnly)
{
    fz_context* ctx = fz_new_context(nullptr, nullptr, FZ_STORE_DEFAULT);
    ASSERT_NE(ctx, nullptr);
    pdf_document* doc = pdf_create_document(ctx);
    std::string content = GetParam().content;
    const std::vector<std::string> lines = kestran::pdf::BlankBrokenInlineImages(ctx, doc, nullptr, content);
    EXPECT_EQ(content, GetParam().blanked);
    EXPECT_EQ(static_cast<int>(lines.size()), GetParam().skipped);
    pdf_drop_document(ctx, doc);
    fz_drop_context(ctx);
}

INSTANTIATE_TEST_SUITE_P(
    Content, BlankInline,
    ::testing::Values(
        // A good image is left alone, data that looks like EI included.
        BlankCase{"BI /W 2 /H 1 /BPC 8 /CS /G ID\nEI EI Q", "BI /W 2 /H 1 /BPC 8 /CS /G ID\nEI EI Q", 0},
        BlankCase{"q BI /W 0 /H 1 /CS /G /BPC 8 ID\nxy EI Q", "q                                     Q", 1},
        // Letters EI inside the damaged image's data do not end it early.
        BlankCase{"BI /W 0 /H 1 ID\nxEIy EI Q", "                        Q", 1},
        // No EI: the rest of the content goes.
        BlankCase{"BI /W 0 /H 1 ID\nxy", "                  ", 1},
        // BI in a string or a comment is not an image.
        BlankCase{"(BI /W 0 ID) Tj % BI /W 0\nBI /W 0 /H 1 ID\nx EI",
                  "(BI /W 0 ID) Tj % BI /W 0\n                    ", 1}));

}  // namespace
