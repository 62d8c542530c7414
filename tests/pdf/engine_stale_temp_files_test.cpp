// Temporary files left by a killed writer are removed by the first write of
// the next process into their folder; nothing else is ever touched.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pdf/output_file.h"
#include "pdf/stale_temp_files.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
using namespace kestran::pdf;

namespace {

// A process id that belonged to a process a moment ago and to none now.
long long DeadPid()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

OutputStatus WriteOne(const TempDir& dir, int page)
{
    static const uint8_t kData[] = {1, 2, 3};
    return WriteImageFile(dir.path().string(), "a", page, 1, "png", kData, sizeof kData);
}

enum class Pid { Dead, Parent, ParentRestarted, ParentStartUnknown };
struct PlantCase {
    const char* name;  // nullptr: a temporary file name for the writer below
    Pid pid;
    bool other_host, other_namespace, folder, kept;
};
class StaleTempFilesTest : public ::testing::TestWithParam<PlantCase> {};

TEST_P(StaleTempFilesTest, FirstWriteRemovesOnlyRegularFilesOfGoneWritersOnThisMachine)
{
    const PlantCase& c = GetParam();
    TempFileWriter writer = ThisTempFileWriter();
    if (writer.host.empty() || writer.pid_namespace == 0 || ProcessStartTicks(getppid()) == 0)
        GTEST_SKIP() << "no host name, or /proc hides processes: nothing can be told apart, nothing is removed";
    writer.pid = c.pid == Pid::Dead ? DeadPid() : getppid();
    writer.start = c.pid == Pid::ParentStartUnknown ? 0 : ProcessStartTicks(writer.pid);
    writer.start += c.pid == Pid::ParentRestarted ? 1 : 0;  // the id now held by a later process
    writer.host += c.other_host ? "-other" : "";
    writer.pid_namespace += c.other_namespace ? 1 : 0;  // a sandbox on this machine
    const std::string name = c.name != nullptr ? c.name : TempFileNameStem(writer) + "Ab12Cd";
    TempDir dir;
    if (c.folder)
        std::filesystem::create_directory(dir / name);
    else
        WriteFile(dir / name, "half an image");
    ASSERT_EQ(WriteOne(dir, 1), OutputStatus::Ok);
    EXPECT_EQ(std::filesystem::exists(dir / name), c.kept) << name;
}

INSTANTIATE_TEST_SUITE_P(Cases, StaleTempFilesTest,
                         ::testing::Values(PlantCase{nullptr, Pid::Dead, false, false, false, false},
                                           PlantCase{nullptr, Pid::ParentRestarted, false, false, false, false},
                                           PlantCase{nullptr, Pid::Parent, false, false, false, true},
                                           PlantCase{nullptr, Pid::ParentStartUnknown, false, false, false, true},
                                           PlantCase{nullptr, Pid::Dead, true, false, false, true},
                                           PlantCase{nullptr, Pid::Dead, false, true, false, true},
                                           PlantCase{nullptr, Pid::Dead, false, false, true, true},
                                           // earlier versions' names say no writer
                                           PlantCase{".kestran-part-Ab12Cd", Pid::Dead, false, false, false, true},
                                           PlantCase{".kestran-part-h-1-0-5-Ab12Cd", Pid::Dead, false, false, false, true},
                                           PlantCase{"b-001-01.png", Pid::Dead, false, false, false, true}));

TEST(StaleTempFiles, OnlyTheFirstWriteOfAProcessIntoAFolderSweepsAndOwnFilesAreNamedForIt)
{
    TempFileWriter dead = ThisTempFileWriter();
    if (dead.host.empty() || dead.pid_namespace == 0)
        GTEST_SKIP() << "writers cannot be told apart here";
    TempFileWriter parsed;
    ASSERT_TRUE(ParseTempFileName(TempFileNameStem(dead) + "Zz99Yy", parsed));
    EXPECT_EQ(parsed.host, dead.host);
    dead.pid = DeadPid();
    TempDir dir;
    WriteFile(dir / (TempFileNameStem(dead) + "Zz99Yy"), "x");
    ASSERT_EQ(WriteOne(dir, 1), OutputStatus::Ok);
    WriteFile(dir / (TempFileNameStem(dead) + "Xx88Ww"), "x");  // left while this process writes here
    ASSERT_EQ(WriteOne(dir, 2), OutputStatus::Ok);
    EXPECT_EQ(ListFiles(dir.path()),
              (std::vector<std::string>{TempFileNameStem(dead) + "Xx88Ww", "a-001-01.png", "a-002-01.png"}));
}

}  // namespace
