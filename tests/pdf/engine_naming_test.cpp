// File names of extracted images and the way they are put in place.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pdf/output_file.h"
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
    EXPECT_FALSE(IsWritableFolder((dir / "gone").string()));
    EXPECT_TRUE(IsWritableFolder(dir.path().string()));
    fixtures::WriteFile(dir / "file", "x");
    EXPECT_FALSE(IsWritableFolder((dir / "file").string())) << "a file is no folder";
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

}  // namespace
