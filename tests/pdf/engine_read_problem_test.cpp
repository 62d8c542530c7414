// A file that cannot be read is told apart from one that is no PDF: the
// first says why in the system's words, the second is the content's fault.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "pdf/image_extractor.h"
#include "pdf/mu_context.h"
#include "pdf/pdf_open.h"
#include "pdf/read_problem.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
using namespace kestran::pdf;
namespace fs = std::filesystem;

namespace {

struct ReadCase {
    const char* what;
    std::function<fs::path(const fs::path& dir)> make;
    std::string problem;  // "" = readable
    OpenStatus status;
};

class ReadProblemTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadProblemTest, SaysWhyAFileCannotBeReadAndOpenPdfAgrees)
{
    TempDir dir;
    const std::string path = GetParam().make(dir.path()).string();
    EXPECT_EQ(ReadProblem(path), GetParam().problem) << GetParam().what;

    MuContextPtr ctx = NewThreadContext();
    ASSERT_TRUE(ctx);
    OpenedPdf opened;
    EXPECT_EQ(OpenPdf(ctx.get(), path, opened), GetParam().status) << GetParam().what;
    opened = OpenedPdf();

    // The job's result stays "cannot open" for all of them: the window shows Failed.
    const fs::path out = dir / "out";
    fs::create_directories(out);
    const int expected = GetParam().status == OpenStatus::Ok ? KESTRAN_EXTRACT_OK : KESTRAN_EXTRACT_CANNOT_OPEN;
    EXPECT_EQ(ExtractImagesFromFile(path.c_str(), "1-", out.c_str(), nullptr, nullptr), expected) << GetParam().what;
}

fs::path Written(const fs::path& path, const std::string& bytes)
{
    WriteFile(path, bytes);
    return path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadProblemTest,
    ::testing::Values(
        ReadCase{"missing file", [](const fs::path& d) { return d / "missing.pdf"; }, "No such file or directory",
                 OpenStatus::CannotRead},
        ReadCase{"folder named like a PDF",
                 [](const fs::path& d) {
                     fs::create_directory(d / "x.pdf");
                     return d / "x.pdf";
                 },
                 "Is a directory", OpenStatus::CannotRead},
        // Opening a pipe for reading waits for a writer: it must be refused
        // before anything blocks on it.
        ReadCase{"pipe named like a PDF",
                 [](const fs::path& d) {
                     mkfifo((d / "pipe.pdf").c_str(), 0600);
                     return d / "pipe.pdf";
                 },
                 "not a regular file", OpenStatus::CannotRead},
        ReadCase{"text file", [](const fs::path& d) { return Written(d / "notes.pdf", "just some notes\n"); }, "",
                 OpenStatus::CannotOpen},
        ReadCase{"empty file", [](const fs::path& d) { return Written(d / "empty.pdf", ""); }, "",
                 OpenStatus::CannotOpen},
        ReadCase{"password", [](const fs::path& d) { return Written(d / "locked.pdf", MakeEncryptedPdf("pw").bytes); },
                 "", OpenStatus::NeedsPassword},
        ReadCase{"PDF", [](const fs::path& d) { return Written(d / "logo.pdf", MakeLogoPdf(1).bytes); }, "",
                 OpenStatus::Ok}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return "Case" + std::to_string(info.index); });

// Root reads any file whatever its mode, so a file it may not read is made
// by giving the read to an unprivileged user in a child process.
TEST(ReadProblem, FileWithoutReadPermissionIsPermissionDenied)
{
    TempDir dir;
    const fs::path file = dir / "private.pdf";
    WriteFile(file, MakeLogoPdf(1).bytes);
    ASSERT_EQ(chmod(file.c_str(), 0000), 0);
    if (geteuid() != 0) {
        EXPECT_EQ(ReadProblem(file.string()), "Permission denied");
        return;
    }
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // the user may look into the folder
    const uid_t nobody = 65534;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(nobody) != 0 || setuid(nobody) != 0)
            _exit(2);
        _exit(ReadProblem(file.string()) == "Permission denied" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "this process may not change its user, so no file can be made unreadable to it";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged reader was not told 'Permission denied'";
}

}  // namespace
