// The preview's RenderPage: pages fitted into the window's box, the document
// kept open while one file is previewed, and pages that must not hold the
// window up.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <memory>
#include <thread>

#include "pdf/pdf_service.h"
#include "pdf/preview_renderer.h"
#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;
using namespace fixtures;

namespace {

struct Rgb {
    int r, g, b;
};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kBlue{0, 0, 255};

// One page per colour, each painted entirely (well beyond its box) in it.
std::string ColourPagesPdf(const std::vector<Rgb>& colours, double width = 612, double height = 792,
                           const std::string& extra = std::string()) {
    PdfWriter w;
    const std::string cover = " rg " + std::to_string(-width) + " " + std::to_string(-height) + " " +
                              std::to_string(3 * width) + " " + std::to_string(3 * height) + " re f\n";
    for (const Rgb& c : colours)
        w.AddPage("<< >>", std::to_string(c.r / 255.0) + " " + std::to_string(c.g / 255.0) + " " +
                               std::to_string(c.b / 255.0) + cover,
                  width, height, extra);
    return w.Build();
}

// Built once: the long stream takes a moment to compress.
const std::vector<std::pair<std::string, std::string>>& EndlessRedPages() {
    static const auto pages = MakeEndlessPagePdfs("1 0 0");
    return pages;
}

// Descriptors of this process open on `path`.
int OpenDescriptors(const fs::path& path) {
    const fs::path target = fs::canonical(path);
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        count += fs::read_symlink(entry.path(), ec) == target;
    }
    return count;
}

class Preview : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = CreatePdf2xxService(KESTRAN_STAGE_DIR "/bin");
        ASSERT_NE(service_, nullptr);
        renderer_ = kestran::pdf::PreviewRendererOf(service_);
    }
    void TearDown() override { FreePdf2xxService(service_); }

    std::string Source(const std::string& bytes, const std::string& name = "doc.pdf") {
        WriteFile(dir_ / name, bytes);
        return (dir_ / name).string();
    }
    RgbBuffer Render(const std::string& path, int page, int box_w = 142, int box_h = 196) {
        w_ = h_ = -1;
        return RgbBuffer(service_->RenderPage(service_, path.c_str(), page, box_w, box_h, &w_, &h_));
    }
    Rgb At(const RgbBuffer& rgb, int x, int y) const {
        const unsigned char* p = rgb.get() + (static_cast<size_t>(y) * w_ + x) * 3;
        return {p[0], p[1], p[2]};
    }
    // The centre pixel is `c`, within colour rounding.
    ::testing::AssertionResult CentreIs(const RgbBuffer& rgb, Rgb c) const {
        if (!rgb)
            return ::testing::AssertionFailure() << "no picture";
        Rgb got = At(rgb, w_ / 2, h_ / 2);
        if (std::abs(got.r - c.r) > 3 || std::abs(got.g - c.g) > 3 || std::abs(got.b - c.b) > 3)
            return ::testing::AssertionFailure() << "centre is " << got.r << "," << got.g << "," << got.b;
        return ::testing::AssertionSuccess();
    }

    Pdf2xxService* service_ = nullptr;
    kestran::pdf::PreviewRenderer* renderer_ = nullptr;
    TempDir dir_;
    int w_ = -1, h_ = -1;
};

TEST_F(Preview, FitBoxGivesTheLargestWholePageInsideIt) {
    struct {
        const char* what;
        double page_w, page_h;
        const char* extra;
        int box_w, box_h, want_w, want_h;
    } const cases[] = {
        {"portrait letter", 612, 792, "", 142, 196, 142, 184},
        {"landscape letter", 792, 612, "", 142, 196, 142, 110},
        {"portrait turned by /Rotate", 612, 792, "/Rotate 90", 142, 196, 142, 110},
        {"box wider than the page", 612, 792, "", 400, 100, 77, 100},
        {"small page zoomed past 216 dpi", 50, 50, "", 142, 196, 142, 142},
        {"thin strip", 100, 10000, "", 142, 196, 2, 196},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RgbBuffer rgb = Render(Source(ColourPagesPdf({kRed}, c.page_w, c.page_h, c.extra)), 1, c.box_w, c.box_h);
        ASSERT_TRUE(rgb);
        EXPECT_EQ(w_, c.want_w);
        EXPECT_EQ(h_, c.want_h);
        EXPECT_TRUE(CentreIs(rgb, kRed));
        // The page starts at the first pixel and reaches the last: nothing of
        // it is cut off, no white band is added.
        EXPECT_EQ(At(rgb, 0, 0).g, 0);
        EXPECT_LT(At(rgb, w_ - 1, h_ - 1).g, 128);
    }
}

// Without a box, or with a box that is no box, the sizes stay as they were.
TEST_F(Preview, NoBoxKeepsTheCappedSizes) {
    struct {
        double page_w, page_h;
        int box_w, box_h, want_w, want_h;
    } const cases[] = {
        {612, 792, 0, 0, 1722, 2228},   {792, 612, 0, 0, 2228, 1722},    {50, 50, 0, 0, 150, 150},
        {100, 10000, 0, 0, 164, 16384}, {14400, 4800, 0, 0, 3394, 1132}, {612, 792, -5, -5, 1722, 2228},
        {612, 792, 142, 0, 1722, 2228}, {612, 792, -142, 196, 1722, 2228},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.page_w) + " x " + std::to_string(c.page_h) + ", box " +
                     std::to_string(c.box_w) + " x " + std::to_string(c.box_h));
        ASSERT_TRUE(Render(Source(ColourPagesPdf({kRed}, c.page_w, c.page_h)), 1, c.box_w, c.box_h));
        EXPECT_EQ(w_, c.want_w);
        EXPECT_EQ(h_, c.want_h);
    }
}

TEST_F(Preview, AbsurdBoxesStayWithinThePixelCaps) {
    struct {
        double page_w, page_h;
        int box_w, box_h;
    } const cases[] = {
        {612, 792, 100000, 100000},   {612, 792, INT_MAX, INT_MAX}, {1, 10000000, 100000, 100000},
        {10000000, 1, INT_MAX, 1000}, {5, 5, 100000, 100000},       {612, 792, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.page_w) + " x " + std::to_string(c.page_h) + ", box " +
                     std::to_string(c.box_w) + " x " + std::to_string(c.box_h));
        RgbBuffer rgb = Render(Source(ColourPagesPdf({kBlue}, c.page_w, c.page_h)), 1, c.box_w, c.box_h);
        ASSERT_TRUE(rgb);
        EXPECT_LE(static_cast<long long>(w_) * h_, 4000000LL);
        EXPECT_LE(std::max(w_, h_), 16384);
        EXPECT_LE(w_, c.box_w);
        EXPECT_LE(h_, c.box_h);
        // Proportions kept to the pixel (a side under one pixel becomes one).
        const bool wide = c.page_w >= c.page_h;
        const double short_side = wide ? w_ * c.page_h / c.page_w : h_ * c.page_w / c.page_h;
        EXPECT_NEAR(wide ? h_ : w_, short_side, 1.0 + short_side * 0.002);
        if (std::min(w_, h_) > 2) {  // a thinner page covers only part of its pixel
            EXPECT_TRUE(CentreIs(rgb, kBlue));
        }
    }
}

TEST_F(Preview, WalkingThePagesOfOneFileOpensItOnce) {
    const std::vector<Rgb> colours = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};
    const std::string walked = Source(ColourPagesPdf(colours), "walked.pdf");
    const std::string other = Source(ColourPagesPdf({{0, 255, 255}}), "other.pdf");
    for (int round = 0; round < 2; ++round)
        for (int page = 1; page <= 4; ++page)
            EXPECT_TRUE(CentreIs(Render(walked, page), colours[page - 1])) << "page " << page;
    EXPECT_FALSE(Render(walked, 5)) << "past the last page";
    EXPECT_EQ(renderer_->DocumentOpens(), 1);

    // Another file replaces the kept one; only one is ever open.
    EXPECT_TRUE(CentreIs(Render(other, 1), {0, 255, 255}));
    EXPECT_EQ(OpenDescriptors(walked), 0);
    EXPECT_TRUE(CentreIs(Render(walked, 2), colours[1]));
    EXPECT_EQ(OpenDescriptors(other), 0);
    EXPECT_EQ(renderer_->DocumentOpens(), 3);
}

TEST_F(Preview, AFileRewrittenOnDiskIsReadAgain) {
    struct {
        const char* what;
        std::vector<Rgb> after;
    } const cases[] = {
        {"more pages, another size", {kBlue, kBlue, kBlue}},
        {"same size, new modification time", {kBlue}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = Source(ColourPagesPdf({kRed}), "rewritten.pdf");
        EXPECT_TRUE(CentreIs(Render(path, 1), kRed));
        const int opens = renderer_->DocumentOpens();
        const auto mtime = fs::last_write_time(path);
        WriteFile(path, ColourPagesPdf(c.after));  // in place: the same inode
        fs::last_write_time(path, mtime + std::chrono::seconds(2));
        EXPECT_TRUE(CentreIs(Render(path, static_cast<int>(c.after.size())), kBlue));
        EXPECT_EQ(renderer_->DocumentOpens(), opens + 1);
    }
}

TEST_F(Preview, ClosingReleasesTheFileAndTheNextRenderOpensItAgain) {
    const std::string path = Source(ColourPagesPdf({kRed, kBlue}));
    P2xClosePreview(service_);  // nothing open yet
    P2xClosePreview(nullptr);
    EXPECT_TRUE(Render(path, 1));
    EXPECT_EQ(OpenDescriptors(path), 1);
    P2xClosePreview(service_);
    EXPECT_EQ(OpenDescriptors(path), 0);
    EXPECT_TRUE(CentreIs(Render(path, 2), kBlue));
    EXPECT_EQ(renderer_->DocumentOpens(), 2);

    // A file that goes away is not shown from the kept document.
    fs::remove(path);
    EXPECT_FALSE(Render(path, 1));

    const std::string kept = Source(ColourPagesPdf({kRed}), "kept.pdf");
    EXPECT_TRUE(Render(kept, 1));
    FreePdf2xxService(service_);
    service_ = nullptr;
    EXPECT_EQ(OpenDescriptors(kept), 0) << "freeing the service closes the preview";
}

// Pages built never to end come back with what was drawn when time ran out.
TEST_F(Preview, EndlessPagesComeBackWithWhatWasDrawn) {
    renderer_->SetTimeBudget(std::chrono::milliseconds(200));
    for (const auto& [what, bytes] : EndlessRedPages()) {
        SCOPED_TRACE(what);
        const std::string path = Source(bytes, "endless.pdf");
        EXPECT_TRUE(CentreIs(Render(path, 1), kRed));
        EXPECT_TRUE(CentreIs(Render(path, 1, 0, 0), kRed));
    }
}

// A newer request cuts the page being drawn short, whether the cut comes
// before or during its run, and a cleared cut leaves the next page whole.
TEST_F(Preview, ACutEndsThePageBeingDrawnAndNoOther) {
    renderer_->SetTimeBudget(std::chrono::minutes(10));  // only a cut ends it
    const std::string endless = Source(EndlessRedPages().front().second, "endless.pdf");
    for (const bool before : {true, false}) {
        SCOPED_TRACE(before ? "cut before the run" : "cut during the run");
        if (before)
            renderer_->CutShort();
        renderer_->Close();
        const int opens = renderer_->DocumentOpens();
        std::thread cutter;
        if (!before)
            cutter = std::thread([&] {
                while (renderer_->DocumentOpens() == opens)  // the render has begun
                    std::this_thread::yield();
                renderer_->CutShort();
            });
        // Ends (no picture when the cut came before anything was drawn).
        if (RgbBuffer rgb = Render(endless, 1)) {
            EXPECT_TRUE(CentreIs(rgb, kRed)) << "what was drawn when cut";
        }
        if (cutter.joinable())
            cutter.join();
        renderer_->ClearCut();
    }
    renderer_->SetTimeBudget(kestran::pdf::kDefaultPreviewBudget);
    EXPECT_TRUE(CentreIs(Render(Source(ColourPagesPdf({kBlue}), "blue.pdf"), 1), kBlue));
}

// Out of time before anything showed: no picture rather than a blank page.
TEST_F(Preview, AnEndlessPageThatDrawsNothingGivesNoPicture) {
    PdfWriter w;
    const std::string form = "/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Resources ";
    int inner = w.AddStream(form + "<< >>", "0 0 612 792 re n\n");  // a path never painted
    for (int level = 0; level < 9; ++level)
        inner = w.AddStream(form + XObjectResources({{"F", inner}}), "/F Do /F Do /F Do /F Do /F Do /F Do\n");
    w.AddPage(XObjectResources({{"F", inner}}), "/F Do\n");
    renderer_->SetTimeBudget(std::chrono::milliseconds(200));
    EXPECT_FALSE(Render(Source(w.Build()), 1));
    EXPECT_EQ(w_, 0);
}

TEST_F(Preview, DamagedFilesComeBackWithTheirReadableParts) {
    renderer_->SetTimeBudget(std::chrono::milliseconds(200));
    for (const auto& [what, pdf] : {std::make_pair("cut off in its last object", MakeTruncatedPdf()),
                                    std::make_pair("undecodable images", MakeUndecodablePdf())}) {
        SCOPED_TRACE(what);
        RgbBuffer rgb = Render(Source(pdf.bytes), 1);
        ASSERT_TRUE(rgb);
        EXPECT_EQ(w_, 142);
        EXPECT_EQ(h_, 184);
        int coloured = 0;
        for (int i = 0; i < w_ * h_ * 3; ++i)
            coloured += rgb.get()[i] < 200;
        EXPECT_GT(coloured, 50) << "the readable images are drawn";
    }
}

TEST_F(Preview, AStoppedJobDoesNotStopThePreview) {
    service_->SetCancel(1);
    EXPECT_TRUE(CentreIs(Render(Source(ColourPagesPdf({kBlue})), 1), kBlue));
    renderer_->SetTimeBudget(std::chrono::milliseconds(200));
    EXPECT_TRUE(CentreIs(Render(Source(EndlessRedPages().front().second, "endless.pdf"), 1), kRed));
    PdfServiceTable table;  // the next job starts without the stop
    ASSERT_EQ(CreatePdfService(&table), 0);
    FreePdfService(&table);
}

// The window renders while load workers count pages of the same files and the
// window closes the preview between rows.
TEST_F(Preview, CountingWhileRenderingAndClosing) {
    const std::string a = Source(ColourPagesPdf({kRed, kBlue, kRed, kBlue}), "a.pdf");
    const std::string b = Source(MakeLogoPdf(3).bytes, "b.pdf");
    std::atomic<int> errors{0};
    std::atomic<bool> rendering{true};
    std::thread counter([&] {
        for (int i = 0; i < 300; ++i) {
            errors += service_->GetPageCount(service_, (i % 2 ? a : b).c_str(), 0) != (i % 2 ? 4 : 3);
            errors += service_->CheckOpen(service_, a.c_str()).page_count != 4;
        }
    });
    std::thread closer([&] {
        while (rendering.load()) {
            P2xClosePreview(service_);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 300; ++i) {
        RgbBuffer rgb = Render((i / 10) % 2 ? b : a, 1 + i % 3);
        errors += !rgb || w_ != 142 || h_ != 184;
    }
    rendering.store(false);
    counter.join();
    closer.join();
    EXPECT_EQ(errors.load(), 0);
}

}  // namespace
