// Page trees that name the same page object again and again.
#include <gtest/gtest.h>

#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;

namespace {

// A catalog whose page tree names one page 100 x 100 x 100 times.
std::string MillionFoldPage()
{
    PdfWriter w;
    ImageObject img = FlateImage(8, 8, "/DeviceRGB", 3, 8, 1);
    const int image = w.AddStream(img.dict, img.stream);
    const int content = w.AddStream("", "q 10 0 0 10 0 0 cm /Im Do Q");
    const int leaves = w.Reserve();
    const int page = w.AddObject("<< /Type /Page /Parent " + Ref(leaves) +
                                 " /MediaBox [0 0 100 100] /Resources << /XObject << /Im " + Ref(image) +
                                 " >> >> /Contents " + Ref(content) + " >>");
    auto kids = [](int num) {
        std::string text;
        for (int i = 0; i < 100; ++i)
            text += Ref(num) + " ";
        return text;
    };
    w.SetObject(leaves, "<< /Type /Pages /Kids [" + kids(page) + "] /Count 100 >>");
    const int middle = w.AddObject("<< /Type /Pages /Kids [" + kids(leaves) + "] /Count 10000 >>");
    const int top = w.AddObject("<< /Type /Pages /Kids [" + kids(middle) + "] /Count 1000000 >>");
    const int catalog = w.AddObject("<< /Type /Catalog /Pages " + Ref(top) + " >>");
    std::string pdf = w.Build();
    const size_t root = pdf.rfind("/Root ");
    const size_t end = pdf.find(" R", root);
    pdf.replace(root, end + 2 - root, "/Root " + Ref(catalog));
    return pdf;
}

TEST(RepeatedPages, AMillionReferencesToOnePageEndQuicklyWithItsImageOnce)
{
    TempDir dir;
    WriteFile(dir / "tree.pdf", MillionFoldPage());
    fs::create_directory(dir / "out");
    int calls = 0;
    ExtractRun run = RunExtract((dir / "tree.pdf").string(), "1-", (dir / "out").string(), [&](int, int) {
        ++calls;
        return 0;
    });
    EXPECT_EQ(run.result, KESTRAN_EXTRACT_OK);
    // The file counts a million pages, so page numbers take seven digits.
    EXPECT_EQ(ListFiles(dir / "out"), (std::vector<std::string>{"tree-0000001-01.png"}));
    ASSERT_FALSE(run.progress.empty());
    EXPECT_EQ(run.progress.back().first, 2 * run.progress.back().second) << "progress still ends";
    EXPECT_LT(calls, 1000) << "skipped pages are reported in steps";
}

}  // namespace
