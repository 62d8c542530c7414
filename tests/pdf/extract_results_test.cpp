// How an extraction ends: result codes, progress, stopping, hostile input.
// Whatever happens, no temporary or partial file stays in the output folder
// and the input file is left exactly as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pdf/cancel_flag.h"
#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;
using namespace fixtures;

namespace {

class ExtractResults : public ::testing::Test {
protected:
    void SetUp() override {
        out_ = dir_ / "out";
        fs::create_directory(out_);
    }
    void TearDown() override {
        EXPECT_TRUE(StrayFiles(out_).empty()) << "left behind: " << ::testing::PrintToString(StrayFiles(out_));
    }
    fs::path Source(const std::string& bytes, const std::string& name = "doc.pdf") {
        fs::path p = dir_ / name;
        WriteFile(p, bytes);
        return p;
    }
    // Runs and checks that the source file was not touched.
    ExtractRun Run(const fs::path& source, const std::string& range = "1-99999", const ProgressHook& hook = {}) {
        std::string before = fs::exists(source) ? Md5Hex(ReadFile(source)) : "";
        ExtractRun run = RunExtract(source.string(), range, out_.string(), hook);
        if (!before.empty()) {
            EXPECT_EQ(Md5Hex(ReadFile(source)), before) << "the input file changed";
        }
        return run;
    }
    // Every file written decodes (PNG, TIFF) or is one of the embedded streams (JPEG, JPEG 2000).
    void ExpectOutputsValid(const FixturePdf& pdf) {
        for (const std::string& name : ListFiles(out_)) {
            std::string bytes = ReadFile(out_ / name);
            if (name.size() > 4 && name.substr(name.size() - 4) == ".png") {
                PngImage png;
                std::string error;
                EXPECT_TRUE(DecodePng(bytes, &png, &error)) << name << ": " << error;
            } else if (name.size() > 4 && name.substr(name.size() - 4) == ".tif") {
                TiffImage tiff;
                std::string error;
                EXPECT_TRUE(DecodeTiff(bytes, &tiff, &error)) << name << ": " << error;
            } else {
                bool found = false;
                for (const auto& e : pdf.images)
                    found |= e.stream == bytes;
                EXPECT_TRUE(found) << name << " is not an embedded stream";
            }
        }
    }

    TempDir dir_;
    fs::path out_;
};

// ---------------------------------------------------------------------------
// Progress

void ExpectWellFormedProgress(const ExtractRun& run, int total, size_t images) {
    ASSERT_FALSE(run.progress.empty());
    int last = -1;
    for (const auto& [done, t] : run.progress) {
        EXPECT_EQ(t, total);
        EXPECT_GE(done, last) << "progress went backwards";
        EXPECT_GE(done, 0);
        EXPECT_LE(done, 2 * total);
        last = done;
    }
    EXPECT_EQ(run.progress.back().first, 2 * total) << "a finished job ends at 2 x total";
    EXPECT_GE(run.progress.size(), static_cast<size_t>(total) + images) << "one call per page and per image";
}

TEST_F(ExtractResults, ProgressRunsForwardFromZeroToTwiceThePageCount) {
    FixturePdf pdf = MakeMultiPagePdf(12);
    ExtractRun run = Run(Source(pdf.bytes));
    ASSERT_EQ(run.result, KESTRAN_EXTRACT_OK);
    ExpectWellFormedProgress(run, 12, 12);
}

TEST_F(ExtractResults, ProgressCountsSelectedPagesOnly) {
    FixturePdf pdf = MakeLogoPdf(6);
    ExtractRun run = Run(Source(pdf.bytes), "2,4-5");
    ASSERT_EQ(run.result, KESTRAN_EXTRACT_OK);
    ExpectWellFormedProgress(run, 3, 4);
}

TEST_F(ExtractResults, ProgressOfAFileWithoutImagesStillEnds) {
    ExtractRun run = Run(Source(MakeNoImagePdf(3).bytes));
    ASSERT_EQ(run.result, KESTRAN_EXTRACT_OK);
    ExpectWellFormedProgress(run, 3, 0);
}

// ---------------------------------------------------------------------------
// Stopping

TEST_F(ExtractResults, ProgressReturningMinusTwoAbandonsTheFile) {
    FixturePdf pdf = MakeManyImagesPdf(60, 48);
    // One call per image at least: the tenth call comes while images are being written.
    int calls = 0;
    ExtractRun run = Run(Source(pdf.bytes), "1", [&](int, int) { return ++calls == 10 ? -2 : 0; });
    EXPECT_EQ(run.result, KESTRAN_EXTRACT_CANCELLED);
    EXPECT_LT(ListFiles(out_).size(), 60u) << "the stop was ignored";
    ExpectOutputsValid(pdf);
}

TEST_F(ExtractResults, StopRightAtTheStartWritesNothing) {
    FixturePdf pdf = MakeManyImagesPdf(10, 16);
    ExtractRun run = Run(Source(pdf.bytes), "1", [](int, int) { return -2; });
    EXPECT_EQ(run.result, KESTRAN_EXTRACT_CANCELLED);
    EXPECT_TRUE(ListFiles(out_).empty());
}

TEST_F(ExtractResults, AStopAtTheFinalProgressCallLeavesTheFileDone) {
    // Everything is written when the last call comes: the file is done.
    FixturePdf pdf = MakeLogoPdf(3);
    const fs::path source = Source(pdf.bytes);
    const size_t calls = Run(source).progress.size();
    for (bool by_return : {false, true}) {
        SCOPED_TRACE(by_return ? "by -2" : "by request");
        fs::remove_all(out_);
        fs::create_directory(out_);
        size_t call = 0;
        ExtractRun run = Run(source, "1-", [&](int, int) {
            if (++call < calls)
                return 0;
            if (by_return)
                return -2;
            kestran::pdf::RequestCancel();
            return 0;
        });
        kestran::pdf::ClearCancel();
        EXPECT_EQ(run.result, KESTRAN_EXTRACT_OK);
        EXPECT_EQ(ListFiles(out_), ExpectedNames(pdf, "doc"));
        ASSERT_FALSE(run.progress.empty());
        EXPECT_EQ(run.progress.back(), std::make_pair(6, 3));
    }
}

class ExtractCancel : public ExtractResults {
protected:
    static void SetUpTestSuite() { p2x_ = CreatePdf2xxService(KESTRAN_STAGE_DIR "/bin"); }
    static void TearDownTestSuite() {
        FreePdf2xxService(p2x_);
        p2x_ = nullptr;
    }
    static Pdf2xxService* p2x_;
};
Pdf2xxService* ExtractCancel::p2x_ = nullptr;

TEST_F(ExtractCancel, SetCancelAbandonsTheRunningJobWithinOneImage) {
    ASSERT_NE(p2x_, nullptr);
    FixturePdf pdf = MakeManyImagesPdf(60, 48);
    size_t images_when_stopped = 0;
    bool stopped = false;
    int calls = 0;
    fs::path out = out_;
    ExtractRun run = Run(Source(pdf.bytes), "1", [&](int, int) {
        if (!stopped && ++calls == 10) {
            p2x_->SetCancel(1);
            stopped = true;
            images_when_stopped = ListFiles(out).size();
        }
        return 0;
    });
    EXPECT_EQ(run.result, KESTRAN_EXTRACT_CANCELLED);
    EXPECT_LE(ListFiles(out_).size(), images_when_stopped + 1) << "more than one image after the stop";
    ExpectOutputsValid(pdf);
}

TEST_F(ExtractCancel, StopOfOneJobNeverCancelsTheNext) {
    ASSERT_NE(p2x_, nullptr);
    FixturePdf pdf = MakeMultiPagePdf(3);
    fs::path src = Source(pdf.bytes);
    p2x_->SetCancel(1);  // a stop that arrives after the previous job ended
    ExtractRun run = Run(src);
    EXPECT_EQ(run.result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out_), ExpectedNames(pdf, "doc"));
}

// ---------------------------------------------------------------------------
// Result codes

TEST_F(ExtractResults, FilesThatCannotBeOpened) {
    EXPECT_EQ(Run(dir_ / "missing.pdf").result, KESTRAN_EXTRACT_CANNOT_OPEN);
    EXPECT_EQ(Run(Source("", "empty.pdf")).result, KESTRAN_EXTRACT_CANNOT_OPEN);
    EXPECT_EQ(Run(Source(std::string(5000, 'x'), "text.pdf")).result, KESTRAN_EXTRACT_CANNOT_OPEN);
    EXPECT_EQ(Run(Source("%PDF-1.4\n%%EOF\n", "hollow.pdf")).result, KESTRAN_EXTRACT_CANNOT_OPEN);
    fs::create_directory(dir_ / "folder.pdf");
    EXPECT_EQ(Run(dir_ / "folder.pdf").result, KESTRAN_EXTRACT_CANNOT_OPEN);
    EXPECT_TRUE(ListFiles(out_).empty());
}

TEST_F(ExtractResults, FileNeedingAPasswordCannotBeOpened) {
    EXPECT_EQ(Run(Source(MakeEncryptedPdf("user-secret").bytes)).result, KESTRAN_EXTRACT_CANNOT_OPEN);
    EXPECT_TRUE(ListFiles(out_).empty());
}

TEST_F(ExtractResults, EncryptedFileWithEmptyUserPasswordGivesDecryptedOriginals) {
    FixturePdf pdf = MakeEncryptedPdf("");
    ASSERT_EQ(Run(Source(pdf.bytes)).result, KESTRAN_EXTRACT_OK);
    ASSERT_EQ(ListFiles(out_), ExpectedNames(pdf, "doc"));
    EXPECT_TRUE(ReadFile(out_ / "doc-001-01.jpg") == pdf.images[0].stream) << "JPEG not decrypted byte for byte";
    PngImage png;
    ASSERT_TRUE(DecodePng(ReadFile(out_ / "doc-001-02.png"), &png));
    int w = 0, h = 0;
    EXPECT_LE(MaxRgbaDifference(png.rgba, DrawImageWithMupdf(pdf.bytes, pdf.images[1].object, &w, &h)), 4);
}

TEST_F(ExtractResults, MissingOutputFolder) {
    ExtractRun run = RunExtract(Source(MakeMultiPagePdf(1).bytes).string(), "1", (dir_ / "nowhere").string());
    EXPECT_EQ(run.result, KESTRAN_EXTRACT_OUTPUT_FOLDER);
    EXPECT_FALSE(fs::exists(dir_ / "nowhere")) << "the folder must not be created behind the user's back";
}

TEST_F(ExtractResults, OutputFolderThatIsAFile) {
    fs::path file = Source("x", "plain-file");
    EXPECT_EQ(RunExtract(Source(MakeMultiPagePdf(1).bytes).string(), "1", file.string()).result,
              KESTRAN_EXTRACT_OUTPUT_FOLDER);
}

TEST_F(ExtractResults, OutputFolderNotWritable) {
    if (geteuid() == 0) {
        // Permission bits do not stop root; /proc refuses new files to anyone.
        EXPECT_EQ(RunExtract(Source(MakeMultiPagePdf(1).bytes).string(), "1", "/proc").result,
                  KESTRAN_EXTRACT_OUTPUT_FOLDER);
        return;
    }
    fs::path ro = dir_ / "read-only";
    fs::create_directory(ro);
    fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(RunExtract(Source(MakeMultiPagePdf(1).bytes).string(), "1", ro.string()).result,
              KESTRAN_EXTRACT_OUTPUT_FOLDER);
    EXPECT_TRUE(ListFiles(ro).empty());
}

// A full disk, simulated with a file-size limit on this process: the write
// fails, the job says so, and neither a partial image nor a temporary file stays.
TEST_F(ExtractResults, WriteFailureIsReportedAndLeavesNoPartialFile) {
    FixturePdf pdf = MakeManyImagesPdf(8, 96);
    fs::path src = Source(pdf.bytes);
    struct rlimit old_limit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit small = old_limit;
    small.rlim_cur = 4096;  // every PNG here is larger
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ExtractRun run = RunExtract(src.string(), "1", out_.string());
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(run.result, KESTRAN_EXTRACT_WRITE_FAILED);
    EXPECT_TRUE(ListFiles(out_).empty()) << ::testing::PrintToString(ListFiles(out_));
}

TEST_F(ExtractResults, NullOrEmptyArguments) {
    PdfServiceTable table{};
    ASSERT_EQ(CreatePdfService(&table), 0);
    std::string src = Source(MakeMultiPagePdf(1).bytes).string();
    EXPECT_NE(table.ExtractImages(nullptr, "1", out_.c_str(), nullptr, nullptr), KESTRAN_EXTRACT_OK);
    EXPECT_NE(table.ExtractImages("", "1", out_.c_str(), nullptr, nullptr), KESTRAN_EXTRACT_OK);
    EXPECT_NE(table.ExtractImages(src.c_str(), nullptr, out_.c_str(), nullptr, nullptr), KESTRAN_EXTRACT_OK);
    EXPECT_NE(table.ExtractImages(src.c_str(), "1", nullptr, nullptr, nullptr), KESTRAN_EXTRACT_OK);
    // No progress function is allowed: the images are still written.
    EXPECT_EQ(table.ExtractImages(src.c_str(), "1", out_.c_str(), nullptr, nullptr), KESTRAN_EXTRACT_OK);
    FreePdfService(&table);
    EXPECT_EQ(ListFiles(out_).size(), 1u);
}

// ---------------------------------------------------------------------------
// Damaged and hostile files

TEST_F(ExtractResults, TruncatedFileStillGivesTheImagesBeforeTheCut) {
    FixturePdf pdf = MakeTruncatedPdf();
    ASSERT_EQ(Run(Source(pdf.bytes)).result, KESTRAN_EXTRACT_OK);
    ASSERT_EQ(ListFiles(out_), ExpectedNames(pdf, "doc"));
    EXPECT_TRUE(ReadFile(out_ / "doc-001-01.jpg") == pdf.images[0].stream);
}

TEST_F(ExtractResults, BrokenCrossReferenceTableIsRepaired) {
    FixturePdf pdf = MakeBrokenXrefPdf();
    ASSERT_EQ(Run(Source(pdf.bytes)).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out_), ExpectedNames(pdf, "doc"));
}

TEST_F(ExtractResults, AbsurdDeclaredSizeIsSkippedAndTheRestExtracted) {
    FixturePdf pdf = MakeAbsurdSizePdf();
    ASSERT_EQ(Run(Source(pdf.bytes)).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out_), ExpectedNames(pdf, "doc"));
}

// Cut anywhere: every outcome is a clean result, never a crash, a hang or a
// half-written image.
TEST_F(ExtractResults, FileCutAtAnyPointEndsCleanly) {
    FixturePdf pdf = MakeLogoPdf(3);
    for (int tenth = 1; tenth < 10; ++tenth) {
        fs::path src = Source(pdf.bytes.substr(0, pdf.bytes.size() * tenth / 10), "cut.pdf");
        int result = Run(src).result;
        EXPECT_TRUE(result == KESTRAN_EXTRACT_OK || result == KESTRAN_EXTRACT_CANNOT_OPEN) << tenth << "/10: " << result;
    }
    ExpectOutputsValid(pdf);
}

TEST_F(ExtractResults, CorruptedBytesEndCleanly) {
    FixturePdf pdfs[] = {MakeDedupePdf(), MakeFormsPdf(), MakeInlineImagePdf(), MakeSoftMaskPdf(true),
                         MakeJp2Pdf(), MakeFlatePdf(FlateKind::Rgb16)};
    uint32_t seed = 12345;
    for (const FixturePdf& pdf : pdfs) {
        for (int variant = 0; variant < 8; ++variant) {
            std::string bytes = pdf.bytes;
            for (int k = 0; k < 12; ++k) {
                seed = seed * 1103515245u + 12345u;
                bytes[(seed >> 8) % bytes.size()] = static_cast<char>(seed >> 24);
            }
            int result = Run(Source(bytes, "corrupt.pdf")).result;
            EXPECT_TRUE(result == KESTRAN_EXTRACT_OK || result == KESTRAN_EXTRACT_CANNOT_OPEN ||
                        result == KESTRAN_EXTRACT_NO_PAGE)
                << result;
            for (const std::string& name : ListFiles(out_))
                if (name.size() > 4 && name.substr(name.size() - 4) == ".png") {
                    PngImage png;
                    EXPECT_TRUE(DecodePng(ReadFile(out_ / name), &png)) << name;
                }
            for (const std::string& name : ListFiles(out_))
                fs::remove(out_ / name);
        }
    }
}

TEST_F(ExtractResults, HostileFilesEndCleanly) {
    for (const auto& [what, bytes] : MakeHostilePdfs()) {
        int result = Run(Source(bytes, "hostile.pdf")).result;
        EXPECT_TRUE(result == KESTRAN_EXTRACT_OK || result == KESTRAN_EXTRACT_CANNOT_OPEN ||
                    result == KESTRAN_EXTRACT_NO_PAGE)
            << what << ": " << result;
        for (const std::string& name : ListFiles(out_)) {
            PngImage png;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".png") {
                EXPECT_TRUE(DecodePng(ReadFile(out_ / name), &png)) << what << ": " << name;
            }
            fs::remove(out_ / name);
        }
    }
}

TEST_F(ExtractResults, UndecodableImagesAreSkippedAndTheRestExtracted) {
    FixturePdf pdf = MakeUndecodablePdf();
    ASSERT_EQ(Run(Source(pdf.bytes)).result, KESTRAN_EXTRACT_OK);
    bool found = false;
    for (const std::string& name : ListFiles(out_)) {
        PngImage png;
        std::string bytes = ReadFile(out_ / name);
        if (name.size() > 4 && name.substr(name.size() - 4) == ".png") {
            ASSERT_TRUE(DecodePng(bytes, &png)) << name;
            if (png.width == 12 && png.height == 10) {
                found = true;
                int w = 0, h = 0;
                EXPECT_EQ(MaxRgbaDifference(png.rgba, DrawImageWithMupdf(pdf.bytes, pdf.images[0].object, &w, &h)),
                          0);
            }
        }
    }
    EXPECT_TRUE(found) << ::testing::PrintToString(ListFiles(out_));
}

// Dictionaries so broken that MuPDF refuses to load the image must not cost
// the good image drawn after them on the same page.
TEST_F(ExtractResults, GoodImagesSurviveBrokenNeighbours) {
    auto hostile = MakeHostilePdfs();
    auto it = std::find_if(hostile.begin(), hostile.end(),
                           [](const auto& h) { return h.first == "broken image dictionaries"; });
    ASSERT_NE(it, hostile.end());
    ASSERT_EQ(Run(Source(it->second)).result, KESTRAN_EXTRACT_OK);
    // The one good 8 x 8 image is there, whatever the broken ones gave.
    bool found = false;
    for (const std::string& name : ListFiles(out_)) {
        PngImage png;
        if (DecodePng(ReadFile(out_ / name), &png) && png.width == 8 && png.height == 8)
            found = true;
    }
    EXPECT_TRUE(found) << ::testing::PrintToString(ListFiles(out_));
}

TEST_F(ExtractResults, InputFilesAreNeverChanged) {
    FixturePdf pdf = MakeLogoPdf(2);
    fs::path src = Source(pdf.bytes);
    struct stat before {};
    ASSERT_EQ(stat(src.c_str(), &before), 0);
    ASSERT_EQ(Run(src).result, KESTRAN_EXTRACT_OK);
    struct stat after {};
    ASSERT_EQ(stat(src.c_str(), &after), 0);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_EQ(before.st_size, after.st_size);
    EXPECT_TRUE(ReadFile(src) == pdf.bytes);
    // Nothing appears beside the source either.
    EXPECT_EQ(ListFiles(dir_.path()), (std::vector<std::string>{"doc.pdf"}));
}

TEST_F(ExtractResults, ReadOnlySourceIsExtracted) {
    FixturePdf pdf = MakeLogoPdf(1);
    fs::path src = Source(pdf.bytes);
    fs::permissions(src, fs::perms::owner_read);
    EXPECT_EQ(Run(src).result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(ListFiles(out_), ExpectedNames(pdf, "doc"));
    fs::permissions(src, fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
