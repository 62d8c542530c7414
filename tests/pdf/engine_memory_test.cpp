// Memory budgets and the stop that reaches inside MuPDF: the counting
// allocator on its own, then whole extractions of files that run a decoder
// away, inflate far beyond their size, ask for more memory than they declare
// or take ages to repair. Extractions that change process-wide state (the
// budget, the stop) run in a forked child, which also keeps a decoder that
// would not stop from hanging the test run: the parent kills it after a
// generous time, a guard against a hang and not a measure of speed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include "pdf/cancel_flag.h"
#include "pdf/file_stream.h"
#include "pdf/image_extractor.h"
#include "pdf/memory_budget.h"
#include "pdf/mu_context.h"
#include "pdf/mu_try.h"
#include "pdf/pdf_service.h"
#include "support/bomb_fixtures.h"
#include "support/child_wait.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
using namespace kestran::pdf;
namespace fs = std::filesystem;

namespace {

constexpr auto kHangGuard = std::chrono::seconds(60);

struct ChildResult {
    int status = -1;  // exit status; -1 when killed by the hang guard or a crash
    std::string err;  // its standard error
};

// Runs `body` in a forked child whose standard error goes to a file; the
// child's exit status is body's return value.
ChildResult InChild(const fs::path& dir, const std::function<int()>& body)
{
    const fs::path err_path = dir / "child-stderr.txt";
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        int status = 100;
        try {
            status = body();
        } catch (...) {
        }
        std::fflush(nullptr);
        _exit(status);
    }
    ChildResult r;
    const std::optional<int> status = WaitWithGuard(pid, kHangGuard, "the child");
    if (status)
        r.status = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    std::ifstream in(err_path);
    r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return r;
}

// Bytes this process has read so far (page cache included).
uint64_t BytesRead()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

// Runs one extraction on a thread of its own and requests the stop, from this
// thread, once `started` says so; returns the extraction's result.
int ExtractAndStop(const std::string& source, const std::string& out, const std::function<bool()>& started)
{
    std::atomic<bool> scanned{false};
    std::atomic<int> result{-1};
    std::thread worker([&] {
        result = RunExtract(source, "1-", out, [&](int done, int) {
                     if (done >= 1)
                         scanned = true;
                     return 0;
                 }).result;
    });
    while (result.load() == -1 && !(started ? started() : scanned.load()))
        std::this_thread::yield();
    RequestCancel();
    worker.join();
    return result.load();
}

// ---------------------------------------------------------------------------
// The allocator

// Clears a stop requested by a test, whatever way it ends.
struct StopGuard {
    ~StopGuard() { ClearCancel(); }
};

struct BudgetGuard {
    size_t saved = ProcessMemoryBudget();
    ~BudgetGuard() { SetProcessMemoryBudget(saved); }
};

TEST(CountingAllocator, CountsEveryBlockAndKeepsItAligned)
{
    MuContextPtr ctx = NewThreadContext();
    ASSERT_TRUE(ctx);
    const size_t before = MuMemoryInUse();
    auto* a = static_cast<unsigned char*>(fz_malloc_no_throw(ctx.get(), 1000));
    auto* b = static_cast<unsigned char*>(fz_malloc_no_throw(ctx.get(), 3));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % alignof(std::max_align_t), 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % alignof(std::max_align_t), 0u);
    EXPECT_GE(MuMemoryInUse() - before, 1003u);
    for (int i = 0; i < 1000; ++i)
        a[i] = static_cast<unsigned char>(i);
    // Growing keeps the data and the count follows the new size.
    a = static_cast<unsigned char*>(fz_realloc_no_throw(ctx.get(), a, 1 << 20));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % alignof(std::max_align_t), 0u);
    EXPECT_GE(MuMemoryInUse() - before, size_t(1) << 20);
    bool kept = true;
    for (int i = 0; i < 1000; ++i)
        kept = kept && a[i] == static_cast<unsigned char>(i);
    EXPECT_TRUE(kept);
    a = static_cast<unsigned char*>(fz_realloc_no_throw(ctx.get(), a, 10));
    ASSERT_NE(a, nullptr);
    EXPECT_LT(MuMemoryInUse() - before, size_t(1) << 10);
    fz_free(ctx.get(), a);
    fz_free(ctx.get(), b);
    EXPECT_EQ(MuMemoryInUse(), before);
}

TEST(CountingAllocator, ImageBudgetCountsOnlyWhatTheImageHolds)
{
    MuContextPtr ctx = NewThreadContext();
    ASSERT_TRUE(ctx);
    void* outside = fz_malloc_no_throw(ctx.get(), 3 << 20);  // held before: not the image's
    ASSERT_NE(outside, nullptr);
    {
        ImageMemoryScope scope(2 << 20);
        const RefusalWatch watch;
        EXPECT_EQ(fz_malloc_no_throw(ctx.get(), 3 << 20), nullptr);
        EXPECT_EQ(watch.Refused(), MemoryRefusal::ImageBudget);
        // What the image frees it may use again.
        for (int i = 0; i < 8; ++i) {
            void* p = fz_malloc_no_throw(ctx.get(), 1 << 20);
            ASSERT_NE(p, nullptr) << "round " << i;
            fz_free(ctx.get(), p);
        }
        {
            ImageMemoryScope inner(8 << 20);  // a nested image gets its own budget
            void* p = fz_malloc_no_throw(ctx.get(), 4 << 20);
            EXPECT_NE(p, nullptr);
            fz_free(ctx.get(), p);
        }
        void* p = fz_malloc_no_throw(ctx.get(), 1 << 20);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(fz_realloc_no_throw(ctx.get(), p, 4 << 20), nullptr) << "growth counts too";
        EXPECT_GE(scope.Peak(), uint64_t(1) << 20);
        fz_free(ctx.get(), p);
        fz_free(ctx.get(), outside);  // freeing what came before changes nothing here
    }
    void* later = fz_malloc_no_throw(ctx.get(), 3 << 20);
    EXPECT_NE(later, nullptr) << "the budget ends with its scope";
    fz_free(ctx.get(), later);
}

TEST(CountingAllocator, StopReachesOnlyThreadsOfAnExtraction)
{
    StopGuard clear;
    MuContextPtr ctx = NewThreadContext();
    ASSERT_TRUE(ctx);
    RequestCancel();
    // The preview and page counting go on while a stopped job winds down.
    void* p = fz_malloc_no_throw(ctx.get(), 100);
    EXPECT_NE(p, nullptr);
    fz_free(ctx.get(), p);
    {
        ExtractionThreadScope extraction;
        const RefusalWatch watch;
        EXPECT_EQ(fz_malloc_no_throw(ctx.get(), 100), nullptr);
        EXPECT_EQ(watch.Refused(), MemoryRefusal::Stop);
    }
    {
        ImageMemoryScope image(1 << 20);
        EXPECT_EQ(fz_malloc_no_throw(ctx.get(), 100), nullptr) << "decoding an image is extraction work";
    }
    ClearCancel();
    ExtractionThreadScope extraction;
    p = fz_malloc_no_throw(ctx.get(), 100);
    EXPECT_NE(p, nullptr) << "the next job allocates again";
    fz_free(ctx.get(), p);
}

TEST(CountingAllocator, ProcessBudgetRefusesAndSaysOutOfMemory)
{
    BudgetGuard restore;
    MuContextPtr ctx = NewThreadContext();
    ASSERT_TRUE(ctx);
    SetProcessMemoryBudget(MuMemoryInUse() + (8 << 20));
    const RefusalWatch watch;
    void* p = fz_malloc_no_throw(ctx.get(), 4 << 20);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(watch.Refused(), MemoryRefusal::None);
    EXPECT_EQ(fz_malloc_no_throw(ctx.get(), 6 << 20), nullptr);
    EXPECT_EQ(watch.Refused(), MemoryRefusal::OutOfMemory);
    fz_free(ctx.get(), p);
}

struct SizeCase {
    const char* text;
    uint64_t bytes;  // 0 = refused
};

class MemorySizeParsing : public ::testing::TestWithParam<SizeCase> {};

TEST_P(MemorySizeParsing, ReadsWhatUsersType)
{
    uint64_t bytes = 0;
    const bool ok = ParseMemorySize(GetParam().text, bytes);
    EXPECT_EQ(ok, GetParam().bytes != 0) << GetParam().text;
    if (ok) {
        EXPECT_EQ(bytes, GetParam().bytes) << GetParam().text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, MemorySizeParsing,
    ::testing::Values(SizeCase{"512M", 512ull << 20}, SizeCase{"2G", 2ull << 30}, SizeCase{"2g", 2ull << 30},
                      SizeCase{"1.5G", 3ull << 29}, SizeCase{"300MB", 300ull << 20}, SizeCase{"64MiB", 64ull << 20},
                      SizeCase{"1048576", 1048576}, SizeCase{"1T", 1ull << 40}, SizeCase{"0", 0},
                      SizeCase{"", 0}, SizeCase{"M", 0}, SizeCase{"12X", 0}, SizeCase{"-5M", 0},
                      SizeCase{"1.5", 0}, SizeCase{"2GG", 0}, SizeCase{"99999999999T", 0}));

// ---------------------------------------------------------------------------
// The file stream

TEST(FileView, ShowsTheStartOfTheFileAndItsTail)
{
    TempDir dir("kestran-view");
    std::string bytes;
    for (int i = 0; i < 300000; ++i)
        bytes += static_cast<char>('a' + i % 26);
    WriteFile(dir / "f.bin", bytes);
    MuContextPtr ctx = NewThreadContext();
    ASSERT_TRUE(ctx);
    StreamHandle stm;
    std::string read;
    std::string around;
    int64_t size = 0;
    unsigned char chunk[7000];
    std::string error;
    const bool ok = MuTry(ctx.get(), [&] {
        stm.reset(ctx.get(), OpenFileView(ctx.get(), (dir / "f.bin").string(), 200000, "\nEND"));
        size_t n;
        while ((n = fz_read(ctx.get(), stm.get(), chunk, sizeof chunk)) > 0)
            read.append(reinterpret_cast<char*>(chunk), n);
        fz_seek(ctx.get(), stm.get(), 0, SEEK_END);
        size = fz_tell(ctx.get(), stm.get());
        // Back into the file, forwards within the buffer, into the tail.
        fz_seek(ctx.get(), stm.get(), 123457, SEEK_SET);
        around += static_cast<char>(fz_read_byte(ctx.get(), stm.get()));
        fz_seek(ctx.get(), stm.get(), 123460, SEEK_SET);
        around += static_cast<char>(fz_read_byte(ctx.get(), stm.get()));
        fz_seek(ctx.get(), stm.get(), 200001, SEEK_SET);
        around += static_cast<char>(fz_read_byte(ctx.get(), stm.get()));
    }, &error);
    ASSERT_TRUE(ok) << error;
    EXPECT_TRUE(read == bytes.substr(0, 200000) + "\nEND");
    EXPECT_EQ(size, 200004);
    EXPECT_EQ(around, std::string() + bytes[123457] + bytes[123460] + 'E');
}

struct KeywordCase {
    int64_t file_size;
    int64_t keyword_at;  // -1: none
};

class LastObjectEnd : public ::testing::TestWithParam<KeywordCase> {};

TEST_P(LastObjectEnd, IsFoundWhereverTheBlocksFall)
{
    TempDir dir("kestran-endobj");
    const KeywordCase c = GetParam();
    std::string bytes(static_cast<size_t>(c.file_size), 'x');
    bytes.replace(100, 6, "endobj");  // an earlier one that must not win
    if (c.keyword_at >= 0)
        bytes.replace(static_cast<size_t>(c.keyword_at), 6, "endobj");
    WriteFile(dir / "f.pdf", bytes);
    const int fd = open((dir / "f.pdf").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(LastCompleteObjectEnd(fd, c.file_size), (c.keyword_at >= 0 ? c.keyword_at : 100) + 6);
    close(fd);
}

// The scan reads 1 MiB blocks from the end: keywords on, across and beside a block edge.
constexpr int64_t kMiB = 1 << 20;
INSTANTIATE_TEST_SUITE_P(Blocks, LastObjectEnd,
                         ::testing::Values(KeywordCase{3 * kMiB, -1}, KeywordCase{3 * kMiB, 3 * kMiB - 6},
                                           KeywordCase{3 * kMiB, 2 * kMiB - 3}, KeywordCase{3 * kMiB, 2 * kMiB - 6},
                                           KeywordCase{3 * kMiB, 2 * kMiB - 5}, KeywordCase{3 * kMiB, 2 * kMiB},
                                           KeywordCase{3 * kMiB + 5, kMiB + 2}, KeywordCase{4000, 3990}));

// ---------------------------------------------------------------------------
// Whole extractions

class MemoryExtraction : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory(out_); }
    std::string Put(const FixturePdf& pdf, const std::string& name)
    {
        WriteFile(dir_ / name, pdf.bytes);
        return (dir_ / name).string();
    }
    TempDir dir_{"kestran-memory"};
    fs::path out_ = dir_ / "out";
};

struct RunawayCase {
    const char* name;
    std::function<FixturePdf()> make;
};

class RunawayDecode : public MemoryExtraction, public ::testing::WithParamInterface<RunawayCase> {};

// Left alone, each decoder runs for minutes.
TEST_P(RunawayDecode, EndsOnAStop)
{
    const std::string source = Put(GetParam().make(), "bomb.pdf");
    const ChildResult r = InChild(dir_.path(), [&] { return ExtractAndStop(source, out_.string(), {}); });
    EXPECT_EQ(r.status, KESTRAN_EXTRACT_CANCELLED) << r.err;
    EXPECT_EQ(ListFiles(out_), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Bombs, RunawayDecode,
                         ::testing::Values(
                             // Allocates a region, decodes it, again and again.
                             RunawayCase{"Jbig2Regions", [] { return MakeJbig2RegionBombPdf(2000, 20000); }},
                             // 900 MB of samples from under a megabyte, row by row.
                             RunawayCase{"FlateGray", [] { return MakeFlateBombPdf(30000, 30000, "/DeviceGray", 1); }}),
                         [](const ::testing::TestParamInfo<RunawayCase>& info) { return std::string(info.param.name); });

TEST_F(MemoryExtraction, FileFailsWhenTheProcessBudgetIsSpent)
{
    // 48 MB of RGB samples under a colour key, decoded whole into 64 MB with
    // alpha, under a budget of 48 MiB more than in use.
    const std::string source = Put(MakeFlateBombPdf(4000, 4000, "/DeviceRGB", 3, "/Mask [0 0 0 0 0 0]"), "keyed.pdf");
    const ChildResult r = InChild(dir_.path(), [&] {
        SetProcessMemoryBudget(MuMemoryInUse() + (48 << 20));
        return RunExtract(source, "1-", out_.string()).result;
    });
    EXPECT_EQ(r.status, KESTRAN_EXTRACT_OUT_OF_MEMORY) << r.err;
    EXPECT_NE(r.err.find("out of memory"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("cannot decode"), std::string::npos) << r.err;
    EXPECT_EQ(ListFiles(out_), std::vector<std::string>{});
}

TEST_F(MemoryExtraction, ImageOverItsOwnBudgetIsSkippedWithALine)
{
    // A 100 x 100 JBIG2 image whose page asks for 200 MB.
    const FixturePdf pdf = MakeJbig2OversizePagePdf(100, 40000);
    const std::string source = Put(pdf, "jbig2.pdf");
    const ChildResult r = InChild(dir_.path(), [&] { return RunExtract(source, "1-", out_.string()).result; });
    EXPECT_EQ(r.status, KESTRAN_EXTRACT_OK) << r.err;
    EXPECT_EQ(ListFiles(out_), ExpectedNames(pdf, "jbig2")) << "the other image is still written";
    EXPECT_NE(r.err.find("page 1: image skipped: its decoding needs more memory than the 16.1 MiB this image may use"),
              std::string::npos)
        << r.err;
}

TEST_F(MemoryExtraction, StopEndsTheRepairOfAHugeDamagedFile)
{
    constexpr uint64_t kSize = uint64_t(4) << 30;  // sparse: no disk space
    const fs::path source = dir_ / "zeros.pdf";
    WriteSparseDamagedPdf(source, kSize);
    const ChildResult r = InChild(dir_.path(), [&] {
        const uint64_t before = BytesRead();
        const int result = ExtractAndStop(source.string(), out_.string(), [&] { return BytesRead() - before > (16 << 20); });
        const uint64_t read = BytesRead() - before;
        std::fprintf(stderr, "read %llu bytes\n", static_cast<unsigned long long>(read));
        return result != KESTRAN_EXTRACT_CANCELLED ? 1 : read > kSize / 4 ? 2 : 0;
    });
    EXPECT_EQ(r.status, 0) << "1: not reported as stopped, 2: read most of the file anyway\n" << r.err;
}

}  // namespace
