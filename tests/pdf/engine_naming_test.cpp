// File names of extracted images and the way they are put in place.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "common/folder_listing.h"
#include "pdf/image_extractor.h"
#include "pdf/output_file.h"
#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

using namespace kestran::pdf;
namespace fs = std::filesystem;

namespace {

TEST(ImageFileName, PadsPageAndImageAndNumbersCopies)
{
    struct Row {
        int page, image, copy;
        const char* ext;
        const char* expected;
    } rows[] = {
        {7, 2, 1, "png", "report-007-02.png"},
        {1, 1, 1, "jpg", "report-001-01.jpg"},
        {1234, 5, 1, "png", "report-1234-05.png"},
        {12, 100, 1, "jp2", "report-012-100.jp2"},
        {7, 2, 2, "png", "report-007-02 (2).png"},
        {7, 2, 13, "png", "report-007-02 (13).png"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ImageFileName("report", r.page, r.image, r.ext, r.copy), r.expected);
}

TEST(ImageFileName, PadsEachNumberToTheDigitsOfItsLargest)
{
    struct Row {
        long long pages, images;  // the file's page count, the images written for the page
        int page, image;
        const char* expected;
    } rows[] = {
        {1, 1, 1, 1, "r-001-01.png"},
        {999, 99, 999, 99, "r-999-99.png"},
        {1000, 99, 7, 2, "r-0007-02.png"},
        {1000, 100, 1000, 100, "r-1000-100.png"},
        {5, 100, 4, 17, "r-004-017.png"},
        {5, 1216, 4, 17, "r-004-0017.png"},
        {123456, 9, 42, 9, "r-000042-09.png"},
    };
    for (const Row& r : rows) {
        const NameWidths widths{PageDigits(r.pages), ImageDigits(r.images)};
        EXPECT_EQ(ImageFileName("r", r.page, r.image, "png", 1, widths), r.expected) << r.pages << " " << r.images;
    }
    EXPECT_EQ(ImageFileName("r", 4, 17, "png", 2, NameWidths{3, 3}), "r-004-017 (2).png");
}

TEST(ImageFileName, VeryLongSourceNamesAreShortenedToAValidFileName)
{
    std::string stem;
    for (int i = 0; i < 100; ++i)
        stem += "é";  // two bytes each
    stem += std::string(100, 'x');
    const std::string name = ImageFileName(stem, 3, 4, "png", 12);
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(name.substr(name.size() - 16), "-003-04 (12).png");
    EXPECT_EQ(name.compare(0, 20, stem, 0, 20), 0);
    // No cut inside a two-byte character: what is left of the stem is whole characters.
    const std::string head = name.substr(0, name.size() - 16);
    EXPECT_TRUE(head.size() <= 200 ? head.size() % 2 == 0 : true);
    fixtures::TempDir dir;
    const std::string data = "x";
    std::string written;
    EXPECT_EQ(WriteImageFile(dir.path().string(), stem, 3, 4, "png", reinterpret_cast<const uint8_t*>(data.data()), 1,
                             &written),
              OutputStatus::Ok);
    EXPECT_TRUE(fs::exists(dir / written));
}

TEST(SourceStem, DropsFolderAndLastExtensionOnly)
{
    EXPECT_EQ(SourceStem("/a/b/report.pdf"), "report");
    EXPECT_EQ(SourceStem("/a/b/report.v2.PDF"), "report.v2");
    EXPECT_EQ(SourceStem("report"), "report");
    EXPECT_EQ(SourceStem("/a/.hidden"), ".hidden");
    EXPECT_EQ(SourceStem("/a/b/Überblick – 2024.pdf"), "Überblick – 2024");
}

TEST(WriteImageFile, NeverReplacesAnExistingFile)
{
    fixtures::TempDir dir;
    fixtures::WriteFile(dir / "doc-001-01.png", "old");
    fixtures::WriteFile(dir / "doc-001-01 (2).png", "older");
    const std::string data = "new image";
    std::string name;
    ASSERT_EQ(WriteImageFile(dir.path().string(), "doc", 1, 1, "png", reinterpret_cast<const uint8_t*>(data.data()),
                             data.size(), &name),
              OutputStatus::Ok);
    EXPECT_EQ(name, "doc-001-01 (3).png");
    EXPECT_EQ(fixtures::ReadFile(dir / "doc-001-01.png"), "old");
    EXPECT_EQ(fixtures::ReadFile(dir / "doc-001-01 (2).png"), "older");
    EXPECT_EQ(fixtures::ReadFile(dir / "doc-001-01 (3).png"), data);
    EXPECT_TRUE(fixtures::StrayFiles(dir.path()).empty());
}

TEST(WriteImageFile, ImageFilesAreReadableLikeOrdinaryFiles)
{
    fixtures::TempDir dir;
    const std::string data = "x";
    ASSERT_EQ(WriteImageFile(dir.path().string(), "d", 2, 3, "jpg", reinterpret_cast<const uint8_t*>(data.data()), 1),
              OutputStatus::Ok);
    struct stat st {};
    ASSERT_EQ(stat((dir / "d-002-03.jpg").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IRUSR, 0u);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
}

TEST(WriteImageFile, MissingFolderIsReportedAndLeavesNothing)
{
    fixtures::TempDir dir;
    const std::string data = "x";
    EXPECT_EQ(WriteImageFile((dir / "gone").string(), "d", 1, 1, "png", reinterpret_cast<const uint8_t*>(data.data()),
                             1),
              OutputStatus::FolderUnusable);
    EXPECT_FALSE(kestran::IsWritableFolder((dir / "gone").string()));
    EXPECT_TRUE(kestran::IsWritableFolder(dir.path().string()));
    fixtures::WriteFile(dir / "file", "x");
    EXPECT_FALSE(kestran::IsWritableFolder((dir / "file").string())) << "a file is no folder";
}

TEST(WriteImageFile, ANameTakenByAFolderGetsTheNextCopy)
{
    fixtures::TempDir dir;
    const std::string data = "x";
    fs::create_directory(dir / "d-001-01.png");
    std::string name;
    EXPECT_EQ(WriteImageFile(dir.path().string(), "d", 1, 1, "png", reinterpret_cast<const uint8_t*>(data.data()), 1,
                             &name),
              OutputStatus::Ok);
    EXPECT_EQ(name, "d-001-01 (2).png");
    EXPECT_TRUE(fixtures::StrayFiles(dir.path()).empty());
}

TEST(WriteImageFile, FullDiskIsAWriteFailureWithoutPartialFile)
{
    // A file size limit makes writes fail the way a full disk does; it is set
    // in a child process so that the test process keeps its own limits.
    fixtures::TempDir dir;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        const std::vector<uint8_t> data(4096, 7);
        OutputStatus status = WriteImageFile(dir.path().string(), "d", 1, 1, "png", data.data(), data.size());
        _exit(status == OutputStatus::WriteFailed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a failed write must be reported as such";
    EXPECT_TRUE(fixtures::ListFiles(dir.path()).empty()) << ::testing::PrintToString(fixtures::ListFiles(dir.path()));
}

// ---------------------------------------------------------------------------
// Names of a whole extraction: they sort in page and paint order.

// Pages of tiny images, every one distinct; the images at `broken` (page,
// position from 0) hold data no decoder reads, so they are skipped when
// encoded, after the page walk has counted them.
std::string PagesOfImages(const std::vector<int>& counts, const std::set<std::pair<int, int>>& broken = {})
{
    fixtures::PdfWriter w;
    for (size_t p = 0; p < counts.size(); ++p) {
        std::map<std::string, int> resources;
        std::string content;
        for (int i = 0; i < counts[p]; ++i) {
            const std::string name = "Im" + std::to_string(i);
            if (broken.count({static_cast<int>(p) + 1, i}) != 0) {
                // Labelled JPEG, but no JPEG at all.
                resources[name] = w.AddStream("/Type /XObject /Subtype /Image /Width 9 /Height 9 /ColorSpace "
                                              "/DeviceGray /BitsPerComponent 8 /Filter /DCTDecode",
                                              "ZZ not a JPEG " + std::to_string(i) + std::string(200, 'Z'));
            } else {
                const unsigned id = static_cast<unsigned>(p * 100000 + static_cast<size_t>(i));
                std::string samples(16, '\x80');
                for (int b = 0; b < 4; ++b)
                    samples[b] = static_cast<char>(id >> (8 * b));
                const fixtures::ImageObject image = fixtures::FlateImageFromSamples(4, 4, "/DeviceGray", 1, 8, samples);
                resources[name] = w.AddStream(image.dict, image.stream);
            }
            content += fixtures::DrawXObject(name, 5 * (i % 100), 5 * (i / 100), 4, 4);
        }
        w.AddPage(fixtures::XObjectResources(resources), content);
    }
    return w.Build();
}

// "doc-<page>-<first>.png" to "doc-<page>-<last>.png", padded as given.
std::vector<std::string> Names(int page, int page_digits, int first, int last, int image_digits)
{
    std::vector<std::string> names;
    for (int i = first; i <= last; ++i)
        names.push_back(fixtures::ImageName("doc", page, i, "png", 1, page_digits, image_digits));
    return names;
}

struct Extracted {
    int result = -1;
    ExtractStats stats;
    std::vector<std::string> files;
    std::vector<std::string> lines;
    std::map<std::string, std::string> bytes;  // name -> MD5
};

Extracted ExtractInto(const fs::path& pdf, const std::string& range, const fs::path& out, int workers)
{
    fs::create_directories(out);
    Extracted run;
    ExtractOptions options;
    options.workers = workers;
    options.log = [&](const std::string& line) { run.lines.push_back(line); };
    run.result = ExtractImagesFromFile(pdf.c_str(), range.c_str(), out.c_str(), nullptr, nullptr, &run.stats, options);
    run.files = fixtures::ListFiles(out);
    for (const std::string& name : run.files)
        run.bytes[name] = fixtures::Md5Hex(fixtures::ReadFile(out / name));
    return run;
}

TEST(SortedNames, ImageNumbersTakeTheDigitsOfThePagesCount)
{
    struct Case {
        const char* what;
        std::vector<int> counts;
        std::set<std::pair<int, int>> broken;
        std::vector<std::string> existing;
        std::vector<std::vector<std::string>> expected;  // concatenated, then sorted
        int skipped;
    } cases[] = {
        {"120 on one page", {120}, {}, {}, {Names(1, 3, 1, 120, 3)}, 0},
        {"9 then 10", {9, 10}, {}, {}, {Names(1, 3, 1, 9, 2), Names(2, 3, 1, 10, 2)}, 0},
        {"99 then 100", {99, 100}, {}, {}, {Names(1, 3, 1, 99, 2), Names(2, 3, 1, 100, 3)}, 0},
        // A skipped image takes no number, so 100 found and one skipped count 99.
        {"one of 100 skipped", {100}, {{1, 50}}, {}, {Names(1, 3, 1, 99, 2)}, 1},
        {"one of 12 skipped", {3, 12}, {{2, 4}}, {}, {Names(1, 3, 1, 3, 2), Names(2, 3, 1, 11, 2)}, 1},
        {"first and last of 101 skipped", {101}, {{1, 0}, {1, 100}}, {}, {Names(1, 3, 1, 99, 2)}, 2},
        {"names taken",
         {120, 2},
         {},
         {"doc-001-001.png", "doc-001-120.png", "doc-002-01.png"},
         {Names(1, 3, 2, 119, 3),
          {"doc-001-001.png", "doc-001-001 (2).png", "doc-001-120.png", "doc-001-120 (2).png", "doc-002-01.png",
           "doc-002-01 (2).png", "doc-002-02.png"}},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fixtures::TempDir dir;
        fixtures::WriteFile(dir / "doc.pdf", PagesOfImages(c.counts, c.broken));
        std::vector<std::string> expected;
        for (const auto& part : c.expected)
            expected.insert(expected.end(), part.begin(), part.end());
        std::sort(expected.begin(), expected.end());
        std::vector<Extracted> runs;
        // One worker, and three: more images wait for the page's end than
        // the workers hold in flight.
        for (int workers : {1, 3}) {
            const fs::path out = dir / ("out" + std::to_string(workers));
            fs::create_directories(out);
            for (const std::string& name : c.existing)
                fixtures::WriteFile(out / name, "already there");
            runs.push_back(ExtractInto(dir / "doc.pdf", "1-", out, workers));
            const Extracted& run = runs.back();
            EXPECT_EQ(run.result, KESTRAN_EXTRACT_OK);
            EXPECT_EQ(run.files, expected);
            EXPECT_EQ(run.stats.images_written, static_cast<int>(expected.size() - c.existing.size()));
            EXPECT_EQ(run.stats.images_skipped, c.skipped);
            EXPECT_TRUE(fixtures::StrayFiles(out).empty());
            for (const std::string& name : c.existing)
                EXPECT_EQ(fixtures::ReadFile(out / name), "already there");
        }
        EXPECT_EQ(runs[0].bytes, runs[1].bytes);
        EXPECT_EQ(runs[0].lines, runs[1].lines);
    }
}

TEST(SortedNames, PageNumbersTakeTheDigitsOfTheFilesPageCount)
{
    fixtures::TempDir dir;
    fixtures::WriteFile(dir / "doc.pdf", fixtures::MakeMultiPagePdf(1000).bytes);
    std::vector<std::string> expected;
    for (int page = 1; page <= 1000; ++page)
        expected.push_back(fixtures::ImageName("doc", page, 1, "png", 1, 4, 2));
    const Extracted whole = ExtractInto(dir / "doc.pdf", "1-", dir / "whole", 2);
    ASSERT_EQ(whole.result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(whole.files, expected);
    EXPECT_EQ(whole.files.front(), "doc-0001-01.png");
    EXPECT_EQ(whole.files.back(), "doc-1000-01.png");
    // The width follows the file, not the pages chosen.
    const Extracted some = ExtractInto(dir / "doc.pdf", "7,998-999", dir / "some", 1);
    ASSERT_EQ(some.result, KESTRAN_EXTRACT_OK);
    EXPECT_EQ(some.files, (std::vector<std::string>{"doc-0007-01.png", "doc-0998-01.png", "doc-0999-01.png"}));
}

}  // namespace
