// Pages that cannot draw an image are not run. Leaving a page out must never
// lose an image or change a line of the log: every fixture file is extracted
// with and without the check and the results compared, and the check itself
// is tested where it is easy to get wrong (strings, comments, names, chunk
// edges in content; images only reachable through annotations, patterns,
// soft masks, forms and cycles of forms).
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "pdf/cancel_flag.h"
#include "pdf/image_extractor.h"
#include "pdf/mu_context.h"
#include "pdf/mu_try.h"
#include "pdf/page_walk.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// The content scan

struct ScanCase {
    const char* content;
    bool inline_image;
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << '"' << c.content << '"'; }

class InlineImageScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(InlineImageScanTest, FindsTheOperatorOnlyWhereTheInterpreterWouldMeetIt)
{
    const std::string content = GetParam().content;
    const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
    kestran::pdf::InlineImageScan whole;
    whole.Feed(bytes, content.size());
    EXPECT_EQ(whole.Finish(), GetParam().inline_image) << content;
    // Content arrives in pieces of any size: one byte at a time must agree.
    kestran::pdf::InlineImageScan bytewise;
    for (size_t i = 0; i < content.size(); ++i)
        bytewise.Feed(bytes + i, 1);
    EXPECT_EQ(bytewise.Finish(), GetParam().inline_image) << content;
}

INSTANTIATE_TEST_SUITE_P(
    Content, InlineImageScanTest,
    ::testing::Values(ScanCase{"q BI /W 1 /H 1 ID x EI Q", true}, ScanCase{"1 0 0 1 0 0 cm\nBI", true},
                      ScanCase{"(x)BI", true}, ScanCase{"[/a]BI", true}, ScanCase{"<>BI", true},
                      ScanCase{"BI\r/W 1", true},
                      // A parenthesis in a comment opens no string.
                      ScanCase{"% a ( in a comment\nBI", true},
                      // An escaped backslash does not escape the closing parenthesis.
                      ScanCase{"(a\\\\) BI", true}, ScanCase{"<4142> BI", true}, ScanCase{"<< /K 1 >> BI", true},
                      ScanCase{"(BI) Tj", false}, ScanCase{"(a \\) BI) Tj", false},
                      ScanCase{"(nested (BI) string) Tj", false}, ScanCase{"% BI\n0 0 m", false},
                      ScanCase{"/BI 1 d0", false}, ScanCase{"<< /BI 1 >>", false}, ScanCase{"<4249> pop", false},
                      ScanCase{"ABI BIX BIBI B I", false}, ScanCase{"", false}));

// ---------------------------------------------------------------------------
// The page check on files whose images hide

// Per page of each hidden-image fixture: can it draw an image?
std::vector<bool> ExpectedDecisions(const std::string& name)
{
    if (name == "BI only in strings, names and comments" || name == "image only in a Type 3 glyph")
        return {false};
    if (name == "image reached through forms drawing each other")
        return {true, true};
    return {true};
}

std::vector<bool> Decide(const std::string& bytes)
{
    std::vector<bool> decisions;
    kestran::pdf::MuContextPtr ctx = kestran::pdf::NewThreadContext();
    fz_context* c = ctx.get();
    fz_stream* stm = nullptr;
    pdf_document* doc = nullptr;
    if (!kestran::pdf::MuTry(c, [&] {
            stm = fz_open_memory(c, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
            doc = pdf_open_document_with_stream(c, stm);
        })) {
        fz_drop_stream(c, stm);
        return decisions;
    }
    kestran::pdf::StreamHandle stream(c, stm);
    kestran::pdf::PdfDocumentHandle held(c, doc);
    int pages = 0;
    kestran::pdf::MuTry(c, [&] { pages = pdf_count_pages(c, doc); });
    kestran::pdf::ImageReach reach;  // shared by the pages, as in an extraction
    for (int page = 1; page <= pages; ++page)
        decisions.push_back(kestran::pdf::PageCanDrawImages(c, doc, page, reach));
    return decisions;
}

TEST(PageSkip, PagesWhoseImagesHideAreRunAndOnlyThose)
{
    for (const auto& [name, pdf] : MakeHiddenImagePdfs()) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Decide(pdf.bytes), ExpectedDecisions(name));
    }
}

TEST(PageSkip, TextPagesOfABookAreSkippedImagePagesRun)
{
    const FixturePdf book = MakeTextBookPdf(40);
    std::vector<bool> expected(40, false);
    for (const ExpectedImage& image : book.images)
        expected.at(image.page - 1) = true;
    EXPECT_EQ(Decide(book.bytes), expected);
}

// ---------------------------------------------------------------------------
// The same files and the same log with and without the check

struct Outcome {
    int result = -1;
    std::vector<std::string> names;
    std::vector<std::string> bytes;
    std::string log;
};

Outcome Extract(const fs::path& source, const fs::path& folder, bool skip)
{
    kestran::pdf::ClearCancel();
    fs::create_directories(folder);
    kestran::pdf::ExtractOptions options;
    options.skip_imageless_pages = skip;
    Outcome outcome;
    ::testing::internal::CaptureStderr();
    outcome.result = kestran::pdf::ExtractImagesFromFile(source.c_str(), "1-99999", folder.c_str(), nullptr,
                                                         nullptr, nullptr, options);
    outcome.log = ::testing::internal::GetCapturedStderr();
    outcome.names = ListFiles(folder);
    for (const std::string& name : outcome.names)
        outcome.bytes.push_back(ReadFile(folder / name));
    return outcome;
}

std::vector<std::pair<std::string, std::string>> AllFixtureFiles()
{
    std::vector<std::pair<std::string, std::string>> files;
    for (JpegKind kind : {JpegKind::Gray, JpegKind::Rgb, JpegKind::CmykAdobe, JpegKind::CmykAdobeInverted,
                          JpegKind::CmykPlain, JpegKind::CmykPlainInverted, JpegKind::RgbInverted,
                          JpegKind::RgbNoTransform})
        files.emplace_back(std::string("jpeg ") + JpegKindName(kind), MakeJpegPdf(kind).bytes);
    for (int components = 1; components <= 4; ++components)
        files.emplace_back("jp2 " + std::to_string(components), MakeJp2Pdf(components).bytes);
    bool valid = true;
    for (int i = 0;; ++i) {
        FlateKind kind = AllFlateKinds(i, &valid);
        if (!valid)
            break;
        files.emplace_back(std::string("flate ") + FlateKindName(kind), MakeFlatePdf(kind).bytes);
    }
    files.emplace_back("soft mask", MakeSoftMaskPdf(false).bytes);
    files.emplace_back("half-size soft mask", MakeSoftMaskPdf(true).bytes);
    files.emplace_back("stencil", MakeStencilPdf().bytes);
    files.emplace_back("inline", MakeInlineImagePdf().bytes);
    files.emplace_back("damaged inline", MakeBrokenInlineImagesPdf(8, {{2, InlineDamage::ZeroWidth}}).bytes);
    files.emplace_back("damaged inline in a form",
                       MakeBrokenInlineImagesPdf(8, {{5, InlineDamage::NoHeight}}, InlinePlacement::Form).bytes);
    files.emplace_back("forms", MakeFormsPdf().bytes);
    files.emplace_back("logo", MakeLogoPdf().bytes);
    files.emplace_back("dedupe", MakeDedupePdf().bytes);
    files.emplace_back("indirect placements", MakeIndirectPlacementsPdf().bytes);
    files.emplace_back("multi-page", MakeMultiPagePdf().bytes);
    files.emplace_back("no image", MakeNoImagePdf().bytes);
    files.emplace_back("many images", MakeManyImagesPdf().bytes);
    files.emplace_back("absurd size", MakeAbsurdSizePdf().bytes);
    files.emplace_back("truncated", MakeTruncatedPdf().bytes);
    files.emplace_back("broken xref", MakeBrokenXrefPdf().bytes);
    files.emplace_back("undecodable", MakeUndecodablePdf().bytes);
    files.emplace_back("encrypted", MakeEncryptedPdf("").bytes);
    files.emplace_back("encrypted with a password", MakeEncryptedPdf("secret").bytes);
    files.emplace_back("text book", MakeTextBookPdf(120).bytes);
    for (auto& [name, bytes] : MakeHostilePdfs())
        files.emplace_back("hostile: " + name, std::move(bytes));
    for (auto& [name, pdf] : MakeHiddenImagePdfs())
        files.emplace_back("hidden: " + name, std::move(pdf.bytes));
    // MakeEndlessPagePdfs is left out: a full run of those pages does not end
    // in any time a test can wait (that is what they are for).
    return files;
}

void ExpectSameWithAndWithoutSkip(const fs::path& source, const fs::path& work)
{
    const Outcome full = Extract(source, work / "full", false);
    const Outcome skipped = Extract(source, work / "skipped", true);
    EXPECT_EQ(skipped.result, full.result);
    EXPECT_EQ(skipped.names, full.names);
    EXPECT_TRUE(skipped.bytes == full.bytes) << "the files differ in content";
    EXPECT_EQ(skipped.log, full.log);
}

TEST(PageSkip, EveryFixtureGivesTheSameFilesAndLogWithAndWithoutTheCheck)
{
    for (const auto& [name, bytes] : AllFixtureFiles()) {
        SCOPED_TRACE(name);
        TempDir dir;
        WriteFile(dir / "case.pdf", bytes);
        ExpectSameWithAndWithoutSkip(dir / "case.pdf", dir.path());
    }
}

TEST(PageSkip, HiddenImagesAreAllFound)
{
    for (const auto& [name, pdf] : MakeHiddenImagePdfs()) {
        SCOPED_TRACE(name);
        TempDir dir;
        WriteFile(dir / "case.pdf", pdf.bytes);
        const Outcome outcome = Extract(dir / "case.pdf", dir / "out", true);
        EXPECT_EQ(outcome.result, KESTRAN_EXTRACT_OK);
        EXPECT_EQ(outcome.names, ExpectedNames(pdf, "case"));
    }
}

// The benchmark corpus (bench/run.sh generates it) when KESTRAN_BENCH_CORPUS
// names its folder: files up to KESTRAN_BENCH_CORPUS_MAX_MB (default 8).
TEST(PageSkip, BenchCorpusGivesTheSameFilesAndLogWithAndWithoutTheCheck)
{
    const char* corpus = std::getenv("KESTRAN_BENCH_CORPUS");
    if (corpus == nullptr || !fs::is_directory(corpus))
        GTEST_SKIP() << "KESTRAN_BENCH_CORPUS is not set";
    const char* max_mb = std::getenv("KESTRAN_BENCH_CORPUS_MAX_MB");
    const uintmax_t max_bytes = (max_mb != nullptr ? std::strtoull(max_mb, nullptr, 10) : 8) << 20;
    int compared = 0;
    for (const std::string& name : ListFiles(corpus)) {
        const fs::path source = fs::path(corpus) / name;
        if (source.extension() != ".pdf" || fs::file_size(source) > max_bytes)
            continue;
        SCOPED_TRACE(name);
        TempDir dir;
        ExpectSameWithAndWithoutSkip(source, dir.path());
        ++compared;
    }
    EXPECT_GT(compared, 0);
}

}  // namespace
