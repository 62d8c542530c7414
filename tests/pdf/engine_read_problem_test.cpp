// A file that cannot be read is told apart from one that is no PDF. (A file
// without read permission: Cli.UnreadableFileSaysPermissionDenied.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "pdf/image_extractor.h"
#include "pdf/pdf_open.h"
#include "pdf/read_problem.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
using namespace kestran::pdf;

namespace {

enum class Make { Nothing, Folder, Pipe, Text, Pdf };
struct ReadCase {
    Make make;
    std::string problem;  // "" = readable
    OpenStatus status;
};
class ReadProblemTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadProblemTest, SaysWhyAFileCannotBeReadAndOpenPdfAgrees)
{
    TempDir dir;
    const std::string path = (dir / "x.pdf").string();
    const Make make = GetParam().make;
    if (make == Make::Folder)
        std::filesystem::create_directory(path);
    if (make == Make::Pipe)
        mkfifo(path.c_str(), 0600);  // opening it to read would wait for a writer
    if (make == Make::Text || make == Make::Pdf)
        WriteFile(path, make == Make::Pdf ? MakeLogoPdf(1).bytes : "just some notes\n");
    EXPECT_EQ(ReadProblem(path), GetParam().problem);
    MuContextPtr ctx = NewThreadContext();
    OpenedPdf opened;
    EXPECT_EQ(OpenPdf(ctx.get(), path, opened), GetParam().status);
    // The job's result stays "cannot open": the window shows Failed.
    const int expected = make == Make::Pdf ? KESTRAN_EXTRACT_OK : KESTRAN_EXTRACT_CANNOT_OPEN;
    EXPECT_EQ(ExtractImagesFromFile(path.c_str(), "1-", dir.path().c_str(), nullptr, nullptr), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadProblemTest,
                         ::testing::Values(ReadCase{Make::Nothing, "No such file or directory", OpenStatus::CannotRead},
                                           ReadCase{Make::Folder, "Is a directory", OpenStatus::CannotRead},
                                           ReadCase{Make::Pipe, "not a regular file", OpenStatus::CannotRead},
                                           ReadCase{Make::Text, "", OpenStatus::CannotOpen},
                                           ReadCase{Make::Pdf, "", OpenStatus::Ok}));

}  // namespace
