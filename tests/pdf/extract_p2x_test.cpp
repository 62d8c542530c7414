// The page-count, open-test and preview service: what the file list and the
// preview rely on, including two threads using it at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;
using namespace fixtures;

namespace {

class P2xService : public ::testing::Test {
protected:
    static void SetUpTestSuite() { service_ = CreatePdf2xxService(KESTRAN_STAGE_DIR "/bin"); }
    static void TearDownTestSuite() {
        FreePdf2xxService(service_);
        service_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(service_, nullptr); }

    std::string Source(const std::string& bytes, const std::string& name = "doc.pdf") {
        fs::path p = dir_ / name;
        WriteFile(p, bytes);
        return p.string();
    }
    int Pages(const std::string& path) { return service_->GetPageCount(service_, path.c_str(), 0); }
    P2xOpenResult Open(const std::string& path) { return service_->CheckOpen(service_, path.c_str()); }
    RgbBuffer Render(const std::string& path, int page, int* w, int* h) {
        *w = *h = 0;
        return RgbBuffer(service_->RenderPage(service_, path.c_str(), page, 0, 0, w, h));
    }

    static Pdf2xxService* service_;
    TempDir dir_;
};
Pdf2xxService* P2xService::service_ = nullptr;

// A page filled with one colour, for checking what the preview shows.
std::string ColouredPagePdf(double width, double height, const char* rgb) {
    PdfWriter w;
    w.AddPage("<< >>", std::string(rgb) + " rg 0 0 " + std::to_string(width) + " " + std::to_string(height) + " re f\n",
              width, height);
    return w.Build();
}

TEST_F(P2xService, PageCounts) {
    EXPECT_EQ(Pages(Source(MakeMultiPagePdf(12).bytes, "a.pdf")), 12);
    EXPECT_EQ(Pages(Source(MakeNoImagePdf(2).bytes, "b.pdf")), 2);
    EXPECT_EQ(Pages(Source(MakeBrokenXrefPdf().bytes, "c.pdf")), 2);
    EXPECT_EQ(Pages(Source(MakeEncryptedPdf("").bytes, "d.pdf")), 1);
    EXPECT_EQ(Pages(Source(MakeLogoPdf(3).bytes, "Ünïcødé 日本.pdf")), 3);
}

TEST_F(P2xService, PageCountOfUnreadableFilesIsMinusOne) {
    EXPECT_EQ(Pages((dir_ / "missing.pdf").string()), -1);
    EXPECT_EQ(Pages(Source("", "empty.pdf")), -1);
    EXPECT_EQ(Pages(Source(std::string(3000, 'z'), "junk.pdf")), -1);
}

TEST_F(P2xService, CheckOpenAcceptsOnlyUsableFiles) {
    P2xOpenResult ok = Open(Source(MakeMultiPagePdf(4).bytes, "ok.pdf"));
    EXPECT_NE(ok.usable, 0);
    EXPECT_EQ(ok.page_count, 4);

    P2xOpenResult repaired = Open(Source(MakeTruncatedPdf().bytes, "cut.pdf"));
    EXPECT_NE(repaired.usable, 0) << "a file MuPDF can repair is usable";

    P2xOpenResult broken = Open(Source(MakeBrokenXrefPdf().bytes, "xref.pdf"));
    EXPECT_NE(broken.usable, 0);
    EXPECT_NE(broken.repaired, 0);

    P2xOpenResult empty_password = Open(Source(MakeEncryptedPdf("").bytes, "open.pdf"));
    EXPECT_NE(empty_password.usable, 0) << "an owner password alone does not stop anyone";

    P2xOpenResult locked = Open(Source(MakeEncryptedPdf("user-secret").bytes, "locked.pdf"));
    EXPECT_EQ(locked.usable, 0);
    EXPECT_NE(locked.needs_password, 0);

    PdfWriter no_pages;
    EXPECT_EQ(Open(Source(no_pages.Build(), "nopages.pdf")).usable, 0) << "a file without pages is not usable";
    EXPECT_EQ(Open((dir_ / "missing.pdf").string()).usable, 0);
    EXPECT_EQ(Open(Source("not a pdf at all", "junk.pdf")).usable, 0);
}

TEST_F(P2xService, RenderPageGivesRgbOfThePageInMallocMemory) {
    std::string path = Source(ColouredPagePdf(612, 792, "1 0 0"));
    int w = 0, h = 0;
    RgbBuffer rgb = Render(path, 1, &w, &h);
    ASSERT_TRUE(rgb);
    ASSERT_GT(w, 0);
    ASSERT_GT(h, 0);
    EXPECT_NEAR(static_cast<double>(w) / h, 612.0 / 792.0, 0.02);
    const unsigned char* px = rgb.get() + (static_cast<size_t>(h / 2) * w + w / 2) * 3;
    EXPECT_GE(px[0], 250);
    EXPECT_LE(px[1], 5);
    EXPECT_LE(px[2], 5);
}

TEST_F(P2xService, RenderPageStaysBelowAboutFourMegapixels) {
    for (double side : {14400.0, 3000.0}) {
        std::string path = Source(ColouredPagePdf(side, side / 3, "0 0 1"), "big.pdf");
        int w = 0, h = 0;
        RgbBuffer rgb = Render(path, 1, &w, &h);
        ASSERT_TRUE(rgb) << side;
        EXPECT_LE(static_cast<long long>(w) * h, 4200000LL) << side;
        EXPECT_NEAR(static_cast<double>(w) / h, 3.0, 0.05) << side;
    }
}

TEST_F(P2xService, RenderPageOutsideTheDocumentIsNull) {
    std::string path = Source(MakeMultiPagePdf(2).bytes);
    int w = 0, h = 0;
    EXPECT_FALSE(Render(path, 3, &w, &h));
    EXPECT_FALSE(Render(path, 0, &w, &h));
    EXPECT_FALSE(Render((dir_ / "missing.pdf").string(), 1, &w, &h));
    EXPECT_FALSE(Render(Source(MakeEncryptedPdf("pw").bytes, "locked.pdf"), 1, &w, &h));
    EXPECT_TRUE(Render(path, 2, &w, &h));
}

TEST_F(P2xService, HostileFilesNeverCrashThePreviewService) {
    for (const auto& [what, bytes] : MakeHostilePdfs()) {
        std::string path = Source(bytes, "hostile.pdf");
        int pages = Pages(path);
        P2xOpenResult open = Open(path);
        EXPECT_EQ(open.usable != 0, pages > 0) << what;
        int w = 0, h = 0;
        RgbBuffer rgb = Render(path, 1, &w, &h);
        if (rgb) {
            EXPECT_LE(static_cast<long long>(w) * h, 4200000LL) << what;
        }
    }
}

// The preview renders on the window thread while a load counts pages on a worker.
TEST_F(P2xService, CountingAndRenderingRunTogether) {
    std::string counted = Source(MakeMultiPagePdf(30).bytes, "counted.pdf");
    std::string rendered = Source(MakeLogoPdf(3).bytes, "rendered.pdf");
    std::atomic<int> count_errors{0}, render_errors{0};
    std::thread counter([&] {
        for (int i = 0; i < 40; ++i)
            if (Pages(counted) != 30)
                ++count_errors;
    });
    std::thread renderer([&] {
        for (int i = 0; i < 10; ++i) {
            int w = 0, h = 0;
            RgbBuffer rgb = Render(rendered, 1 + i % 3, &w, &h);
            if (!rgb || w <= 0 || h <= 0)
                ++render_errors;
        }
    });
    counter.join();
    renderer.join();
    EXPECT_EQ(count_errors.load(), 0);
    EXPECT_EQ(render_errors.load(), 0);
}

// An extraction on one thread while the preview renders on another.
TEST_F(P2xService, ExtractionAndPreviewRunTogether) {
    FixturePdf pdf = MakeManyImagesPdf(40, 32);
    std::string src = Source(pdf.bytes, "many.pdf");
    std::string rendered = Source(MakeLogoPdf(2).bytes, "rendered.pdf");
    fs::create_directory(dir_ / "out");
    int result = -1;
    std::thread worker([&] { result = RunExtract(src, "1", (dir_ / "out").string()).result; });
    int render_errors = 0;
    for (int i = 0; i < 5; ++i) {
        int w = 0, h = 0;
        if (!Render(rendered, 1 + i % 2, &w, &h))
            ++render_errors;
    }
    worker.join();
    EXPECT_EQ(result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(render_errors, 0);
    EXPECT_EQ(ListFiles(dir_ / "out").size(), 40u);
}

TEST(NimbFopen, OpensUtf8Paths) {
    TempDir dir;
    fs::path p = dir / "fïlé 日本.txt";
    WriteFile(p, "hello");
    FILE* f = NIMBfopen(p.string().c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[8] = {};
    EXPECT_EQ(fread(buf, 1, 5, f), 5u);
    fclose(f);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(NIMBfopen((dir / "missing").string().c_str(), "r"), nullptr);
}

}  // namespace
