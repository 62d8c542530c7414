// JBIG2 images whose text regions share one /JBIG2Globals symbol dictionary,
// as scanners and JBIG2 optimisers write whole documents. jbig2dec counts
// references on the dictionary's symbols without locks, so the engine must
// never decode two such images at once: several workers must write what one
// writes, every time.
#include <gtest/gtest.h>

#include <map>

#include "pdf/cancel_flag.h"
#include "pdf/image_extractor.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;

namespace {

const Jbig2ScanPdf& SharedGlobalsScan()
{
    static const Jbig2ScanPdf pdf = MakeSharedJbig2GlobalsPdf(48);
    return pdf;
}

// Runs an extraction of `source` into `out` with `workers`: its result and
// each written file's MD5 by name.
std::pair<int, std::map<std::string, std::string>> Extract(const fs::path& source, const fs::path& out, int workers)
{
    fs::create_directories(out);
    kestran::pdf::ExtractOptions options;
    options.workers = workers;
    options.log = [](const std::string&) {};
    const int result = kestran::pdf::ExtractImagesFromFile(source.c_str(), "1-", out.c_str(), nullptr,
                                                           [](void*, int, int) { return 0; }, nullptr, options);
    std::map<std::string, std::string> files;
    for (const std::string& name : ListFiles(out))
        files[name] = Md5Hex(ReadFile(out / name));
    return {result, files};
}

}  // namespace

// The writer's streams are real JBIG2: MuPDF (jbig2dec) decodes every page's
// stencil to the bitmap that was encoded.
TEST(Jbig2Fixture, MupdfDecodesEveryStencilToTheEncodedBitmap)
{
    const Jbig2ScanPdf& pdf = SharedGlobalsScan();
    ASSERT_EQ(pdf.stencils.size(), 48u);
    for (size_t i = 0; i < pdf.stencils.size(); ++i) {
        SCOPED_TRACE("page " + std::to_string(i + 1));
        const jbig2::Bitmap& want = pdf.stencils[i];
        int w = 0;
        int h = 0;
        const std::vector<uint8_t> rgba = DrawImageWithMupdf(pdf.bytes, pdf.stencil_objects[i], &w, &h);
        ASSERT_EQ(w, want.width);
        ASSERT_EQ(h, want.height);
        int painted = 0;
        int wrong = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const bool ink = rgba[(static_cast<size_t>(y) * w + x) * 4 + 3] > 127;
                painted += ink;
                wrong += ink != (want.At(x, y) != 0);
            }
        EXPECT_EQ(wrong, 0);
        EXPECT_GT(painted, w * h / 20);  // text, not an empty or flooded page
    }
}

// Four workers over 48 pages whose stencils share one dictionary, twenty
// times: every run ends well and writes exactly what one worker writes. Before
// decodes sharing a dictionary were kept apart, this aborted with a double
// free within a few runs.
TEST(EngineJbig2, SharedGlobalsOnFourWorkersWriteWhatOneWrites)
{
    kestran::pdf::ClearCancel();
    TempDir dir("kestran-jbig2");
    const fs::path source = dir / "scan.pdf";
    WriteFile(source, SharedGlobalsScan().bytes);
    const auto sequential = Extract(source, dir / "one", 1);
    ASSERT_EQ(sequential.first, KESTRAN_EXTRACT_OK);
    ASSERT_EQ(sequential.second.size(), SharedGlobalsScan().images.size());
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const fs::path out = dir / ("four-" + std::to_string(round));
        const auto parallel = Extract(source, out, 4);
        EXPECT_EQ(parallel.first, KESTRAN_EXTRACT_OK);
        EXPECT_EQ(parallel.second, sequential.second);
        fs::remove_all(out);
    }
}

