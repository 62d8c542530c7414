// A process that ends in the middle of a job first discards its partial
// output: the hidden temporary image file being written goes, and no image
// file is created afterwards. The discard is irreversible for the process, so
// each case runs in a child process and the parent looks at the folder after
// the child has ended the way the window ends, with _exit.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "pdf/cancel_flag.h"
#include "pdf/output_file.h"
#include "pdf/pdf_service.h"
#include "pdf/stale_temp_files.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
using namespace kestran::pdf;
namespace fs = std::filesystem;

namespace {

// Runs `body` in a forked child, which must end with _exit, and returns the
// child's exit status (-1 when it did not exit normally). Nothing of the child
// ever returns into the test framework.
int InChild(const std::function<void()>& body)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        try {
            body();
        } catch (...) {
        }
        _exit(100);
    }
    if (pid < 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HasTemporaryFile(const fs::path& dir)
{
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        if (it->path().filename().string().rfind(kTempFilePrefix, 0) == 0)
            return true;
    return false;
}

TEST(PartialOutputDiscard, EndingMidImageLeavesNoTemporaryFile)
{
    TempDir dir("kestran-discard");
    const fs::path source = dir / "large.pdf";
    // Decoded and written as a PNG row by row: its temporary file lives long.
    WriteFile(source, MakeFlatePdf(FlateKind::Rgb, 2400, 1800).bytes);
    const fs::path out = dir / "out";
    fs::create_directory(out);

    const int status = InChild([&] {
        std::thread worker([&] {
            // Again and again, in case a whole image slips between two looks.
            // The discard cancels the run it interrupts: that is no failure.
            for (;;) {
                const int result = RunExtract(source.string(), "1", out.string()).result;
                if (result != KESTRAN_EXTRACT_OK && result != KESTRAN_EXTRACT_CANCELLED)
                    _exit(3);
            }
        });
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (std::chrono::steady_clock::now() < give_up) {
            if (HasTemporaryFile(out)) {
                KestranDiscardPartialOutputs();
                _exit(0);  // as the closing window does, the worker still writing
            }
            std::this_thread::yield();
        }
        _exit(2);
    });
    ASSERT_EQ(status, 0) << "2: no temporary file was ever seen, 3: the extraction failed";
    EXPECT_EQ(StrayFiles(out), std::vector<std::string>{});
}

TEST(PartialOutputDiscard, NoImageFileIsCreatedAfterwards)
{
    TempDir dir("kestran-discard");
    const std::string folder = dir.path().string();
    const int status = InChild([&] {
        const uint8_t bytes[] = {1, 2, 3};
        if (WriteImageFile(folder, "before", 1, 1, "png", bytes, sizeof bytes) != OutputStatus::Ok)
            _exit(1);
        KestranDiscardPartialOutputs();
        if (!CancelRequested())
            _exit(2);
        if (WriteImageFile(folder, "after", 1, 1, "png", bytes, sizeof bytes) != OutputStatus::Abandoned)
            _exit(3);
        _exit(0);
    });
    EXPECT_EQ(status, 0);
    // The file completed before the discard stays; nothing else appeared.
    EXPECT_EQ(ListFiles(dir.path()), std::vector<std::string>{"before-001-01.png"});
}

}  // namespace
