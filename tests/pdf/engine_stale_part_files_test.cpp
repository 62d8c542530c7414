// Temporary files left by a killed writer are removed by the next process
// that writes into their folder; nothing else is ever touched.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "pdf/output_file.h"
#include "pdf/stale_part_files.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
using namespace kestran::pdf;
namespace fs = std::filesystem;

namespace {

// A process id that belonged to a process a moment ago and to none now.
long long DeadPid()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

PartFileWriter With(PartFileWriter writer, const std::function<void(PartFileWriter&)>& change)
{
    change(writer);
    return writer;
}

std::string NameOf(const PartFileWriter& writer) { return PartFileNameStem(writer) + "Ab12Cd"; }

struct PlantCase {
    const char* what;
    std::function<std::string(const PartFileWriter& self, long long dead)> name;
    bool kept;
    bool folder = false;  // planted as a folder instead of a file
};

class StalePartFilesTest : public ::testing::TestWithParam<PlantCase> {};

TEST_P(StalePartFilesTest, FirstWriteIntoAFolderRemovesOnlyFilesOfDeadWritersHere)
{
    const PartFileWriter self = ThisPartFileWriter();
    if (self.host.empty() || self.pid_namespace == 0 || self.start == 0)
        GTEST_SKIP() << "no host name or no /proc: writers cannot be told apart, nothing is ever removed";
    TempDir dir;
    const std::string name = GetParam().name(self, DeadPid());
    if (GetParam().folder)
        fs::create_directory(dir / name);
    else
        WriteFile(dir / name, "part of an image");
    const std::string data = "image";
    ASSERT_EQ(WriteImageFile(dir.path().string(), "a", 1, 1, "png", reinterpret_cast<const uint8_t*>(data.data()),
                             data.size()),
              OutputStatus::Ok);
    EXPECT_TRUE(fs::exists(dir / "a-001-01.png"));
    EXPECT_EQ(fs::exists(dir / name), GetParam().kept) << GetParam().what << ": " << name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StalePartFilesTest,
    ::testing::Values(
        PlantCase{"dead writer on this machine",
                  [](const PartFileWriter& self, long long dead) {
                      return NameOf(With(self, [&](PartFileWriter& w) { w.pid = dead; }));
                  },
                  false},
        PlantCase{"live writer (the test's parent)",
                  [](const PartFileWriter& self, long long) {
                      return NameOf(With(self, [](PartFileWriter& w) {
                          w.pid = getppid();
                          w.start = ProcessStartTicks(w.pid);
                      }));
                  },
                  true},
        PlantCase{"this very process", [](const PartFileWriter& self, long long) { return NameOf(self); }, true},
        PlantCase{"id now held by a process started at another time",
                  [](const PartFileWriter& self, long long) {
                      return NameOf(With(self, [](PartFileWriter& w) {
                          w.pid = 1;
                          w.start = ProcessStartTicks(1) + 1;
                      }));
                  },
                  false},
        PlantCase{"live id, start unknown",
                  [](const PartFileWriter& self, long long) {
                      return NameOf(With(self, [](PartFileWriter& w) {
                          w.pid = 1;
                          w.start = 0;
                      }));
                  },
                  true},
        PlantCase{"dead id on another machine",
                  [](const PartFileWriter& self, long long dead) {
                      return NameOf(With(self, [&](PartFileWriter& w) {
                          w.host = "other-host.example";
                          w.pid = dead;
                      }));
                  },
                  true},
        PlantCase{"dead id in another process-id namespace (a sandbox)",
                  [](const PartFileWriter& self, long long dead) {
                      return NameOf(With(self, [&](PartFileWriter& w) {
                          w.pid_namespace += 1;
                          w.pid = dead;
                      }));
                  },
                  true},
        PlantCase{"dead writer, but a folder",
                  [](const PartFileWriter& self, long long dead) {
                      return NameOf(With(self, [&](PartFileWriter& w) { w.pid = dead; }));
                  },
                  true, true},
        PlantCase{"temporary file of an earlier version (no writer in the name)",
                  [](const PartFileWriter&, long long) { return std::string(kTempFilePrefix) + "Ab12Cd"; }, true},
        PlantCase{"ordinary hidden file", [](const PartFileWriter&, long long) { return std::string(".kestran-partial"); },
                  true},
        PlantCase{"image file", [](const PartFileWriter&, long long) { return std::string("b-001-01.png"); }, true}),
    [](const ::testing::TestParamInfo<PlantCase>& info) { return "Case" + std::to_string(info.index); });

TEST(StalePartFiles, OnlyTheFirstWriteOfAProcessIntoAFolderSweeps)
{
    const PartFileWriter self = ThisPartFileWriter();
    if (self.host.empty() || self.pid_namespace == 0)
        GTEST_SKIP() << "writers cannot be told apart here";
    TempDir dir;
    const std::string data = "image";
    const auto write = [&](int page) {
        return WriteImageFile(dir.path().string(), "a", page, 1, "png", reinterpret_cast<const uint8_t*>(data.data()),
                              data.size());
    };
    PartFileWriter dead = self;
    dead.pid = DeadPid();
    const fs::path first = dir / NameOf(dead);
    WriteFile(first, "x");
    ASSERT_EQ(write(1), OutputStatus::Ok);
    EXPECT_FALSE(fs::exists(first));
    // Left while this process writes here: the next run clears it.
    const fs::path later = dir / (PartFileNameStem(dead) + "Zz99Yy");
    WriteFile(later, "x");
    ASSERT_EQ(write(2), OutputStatus::Ok);
    EXPECT_TRUE(fs::exists(later));
    EXPECT_EQ(RemoveStalePartFiles(dir.path().string()), 1);
    // And what this process writes is named after it, so no other run removes it.
    EXPECT_EQ(ListFiles(dir.path()), (std::vector<std::string>{"a-001-01.png", "a-002-01.png"}));
}

struct NameCase {
    std::string name;
    bool ours;
    std::string host;
    long long pid;
};

class PartFileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(PartFileNameTest, ReadsTheWriterBackOrRefusesTheName)
{
    PartFileWriter writer;
    ASSERT_EQ(ParsePartFileName(GetParam().name, writer), GetParam().ours) << GetParam().name;
    if (GetParam().ours) {
        EXPECT_EQ(writer.host, GetParam().host);
        EXPECT_EQ(writer.pid, GetParam().pid);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PartFileNameTest,
    ::testing::Values(NameCase{".kestran-part-my-laptop.lan-4026531836-4242-123456-Ab12Cd", true, "my-laptop.lan", 4242},
                      NameCase{".kestran-part-h-1-7-0-zzzzzz", true, "h", 7},
                      NameCase{".kestran-part-Ab12Cd", false, "", 0},
                      NameCase{".kestran-part--1-7-0-Ab12Cd", false, "", 0},
                      NameCase{".kestran-part-h-1-0-5-Ab12Cd", false, "", 0},
                      NameCase{".kestran-part-h-1-99999999999-5-Ab12Cd", false, "", 0},
                      NameCase{".kestran-part-h-1-7-999999999999999999999999-Ab12Cd", false, "", 0},
                      NameCase{".kestran-part-h-1-x7-5-Ab12Cd", false, "", 0},
                      NameCase{".kestran-part-h-1-7-5-Ab12C", false, "", 0},
                      NameCase{".kestran-part-h h-1-7-5-Ab12Cd", false, "", 0},
                      NameCase{"kestran-part-h-1-7-5-Ab12Cd", false, "", 0}));

}  // namespace
