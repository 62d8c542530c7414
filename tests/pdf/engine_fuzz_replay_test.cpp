// Replays the fuzzing inputs kept in tests/fuzz (the seeds and every input
// that once crashed the service) through the whole service: each must end
// with a result code, a sane progress and no partial file.
#include <gtest/gtest.h>

#include <algorithm>

#include "pdf/image_extractor.h"
#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> KeptInputs()
{
    std::vector<fs::path> files;
    for (const char* sub : {"seeds", "crashes"}) {
        fs::path dir = fs::path(KESTRAN_SOURCE_DIR) / "tests" / "fuzz" / sub;
        if (!fs::is_directory(dir))
            continue;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.is_regular_file())
                files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(FuzzReplay, EveryKeptInputEndsCleanly)
{
    std::vector<fs::path> inputs = KeptInputs();
    ASSERT_FALSE(inputs.empty()) << "tests/fuzz/seeds is missing";
    Pdf2xxService* p2x = CreatePdf2xxService("");
    ASSERT_NE(p2x, nullptr);
    for (const fs::path& input : inputs) {
        SCOPED_TRACE(input.filename().string());
        fixtures::TempDir dir;
        // Copy under a plain name: the service must not depend on the file name.
        fs::path source = dir / "input.pdf";
        fs::copy_file(input, source);
        fs::create_directory(dir / "out");

        const int pages = p2x->GetPageCount(p2x, source.c_str(), 0);
        const P2xOpenResult open = p2x->CheckOpen(p2x, source.c_str());
        if (open.usable) {
            EXPECT_EQ(open.page_count, pages);
            int w = 0, h = 0;
            unsigned char* rgb = p2x->RenderPage(p2x, source.c_str(), 1, 0, 0, &w, &h);
            if (rgb != nullptr) {
                EXPECT_LE(static_cast<long long>(w) * h, 4200000LL);
            }
            free(rgb);
        } else {
            EXPECT_LE(pages, 0);
        }

        fixtures::ExtractRun run = fixtures::RunExtract(source.string(), "1-", (dir / "out").string());
        EXPECT_GE(run.result, KESTRAN_EXTRACT_OK);
        EXPECT_LE(run.result, KESTRAN_EXTRACT_OUT_OF_MEMORY);
        int last = 0;
        for (const auto& [done, total] : run.progress) {
            EXPECT_GE(done, last);
            EXPECT_LE(done, 2 * total);
            last = done;
        }
        EXPECT_TRUE(fixtures::StrayFiles(dir / "out").empty());
        for (const std::string& name : fixtures::ListFiles(dir / "out")) {
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) {
                fixtures::PngImage png;
                EXPECT_TRUE(fixtures::DecodePng(fixtures::ReadFile(dir / "out" / name), &png)) << name;
            }
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tif") == 0) {
                fixtures::TiffImage tiff;
                EXPECT_TRUE(fixtures::DecodeTiff(fixtures::ReadFile(dir / "out" / name), &tiff)) << name;
            }
        }
    }
    FreePdf2xxService(p2x);
}

// The same inputs with every eligible image streamed (block copies, row-by-row
// PNG): the paths large files take, which small fuzzing inputs never reach.
TEST(FuzzReplay, EveryKeptInputEndsCleanlyWhenStreamed)
{
    kestran::pdf::ExtractOptions streamed;
    streamed.stream_bytes = 0;
    for (const fs::path& input : KeptInputs()) {
        SCOPED_TRACE(input.filename().string());
        fixtures::TempDir dir;
        fs::create_directory(dir / "out");
        const int result = kestran::pdf::ExtractImagesFromFile(input.c_str(), "1-", (dir / "out").c_str(), nullptr,
                                                               nullptr, nullptr, streamed);
        EXPECT_GE(result, KESTRAN_EXTRACT_OK);
        EXPECT_LE(result, KESTRAN_EXTRACT_OUT_OF_MEMORY);
        EXPECT_TRUE(fixtures::StrayFiles(dir / "out").empty());
    }
}

}  // namespace
