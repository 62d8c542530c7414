// kestran-extract under a memory budget and interrupted where the stop used
// to take minutes: a real process with its own HOME, checked through its exit
// status, its lines and the files it leaves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/bomb_fixtures.h"
#include "support/child_wait.h"
#include "support/pdf_fixtures.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace fixtures;

namespace {

const fs::path kExtractor = fs::path(KESTRAN_STAGE_DIR) / "bin" / "kestran-extract";
// Kills a process that never ends: a guard against a hang, not a measure.
constexpr auto kHangGuard = std::chrono::seconds(60);
// A JPEG 2000 image whose decode lasts seconds.
constexpr int kStopJpxSide = 3000;

class CliMemory : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(kExtractor)) << kExtractor << " is not built";
        fs::create_directories(dir_ / "home" / "Documents");
        fs::create_directory(out_);
    }

    pid_t Start(const std::vector<std::string>& args)
    {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::string(*e).rfind("HOME=", 0) != 0)
                env.push_back(*e);
        env.push_back("HOME=" + (dir_ / "home").string());
        std::vector<std::string> argv_text = {kExtractor.string()};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> envp;
        std::vector<char*> argv;
        for (std::string& s : env)
            envp.push_back(s.data());
        envp.push_back(nullptr);
        for (std::string& s : argv_text)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        const std::string err = (dir_ / "stderr.txt").string();
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        return pid;
    }

    // Exit status (-1 when killed), standard error in `err_`.
    int Wait(pid_t pid)
    {
        const std::optional<int> status = WaitWithGuard(pid, kHangGuard, "kestran-extract");
        err_ = ReadFile(dir_ / "stderr.txt");
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }

    // Waits until `ready` or the process ended; false when it ended first.
    static bool WaitFor(pid_t pid, const std::function<bool()>& ready)
    {
        const auto give_up = std::chrono::steady_clock::now() + kHangGuard;
        while (!ready()) {
            if (kill(pid, 0) != 0 || std::chrono::steady_clock::now() > give_up)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    static uint64_t BytesRead(pid_t pid)
    {
        std::ifstream io("/proc/" + std::to_string(pid) + "/io");
        std::string key;
        uint64_t value = 0;
        while (io >> key >> value)
            if (key == "rchar:")
                return value;
        return 0;
    }

    TempDir dir_{"kestran-cli-memory"};
    fs::path out_ = dir_ / "out";
    std::string err_;
};

TEST_F(CliMemory, FileOverTheBudgetFailsAsOutOfMemory)
{
    // RGB samples under a colour key that MuPDF decodes whole into 64 MB,
    // from a 50 kB stream.
    const fs::path source = dir_ / "keyed.pdf";
    WriteFile(source, MakeFlateBombPdf(4000, 4000, "/DeviceRGB", 3, "/Mask [0 0 0 0 0 0]").bytes);
    const fs::path small = dir_ / "small.pdf";
    const FixturePdf fits = MakeLogoPdf(1);
    WriteFile(small, fits.bytes);
    EXPECT_EQ(Wait(Start({"--memory", "32M", "-o", out_.string(), source.string(), small.string()})), 1) << err_;
    EXPECT_NE(err_.find("keyed.pdf: failed: out of memory"), std::string::npos) << err_;
    EXPECT_EQ(ListFiles(out_), ExpectedNames(fits, "small")) << "the next file still runs";
}

TEST_F(CliMemory, MemorySizeThatIsNoSizeIsAUsageError)
{
    const fs::path source = dir_ / "small.pdf";
    WriteFile(source, MakeLogoPdf(1).bytes);
    for (const char* size : {"lots", "1K", "0", "-2G"}) {
        EXPECT_EQ(Wait(Start({"--memory", size, "-o", out_.string(), source.string()})), 2) << size;
        EXPECT_NE(err_.find("invalid memory size"), std::string::npos) << err_;
    }
    EXPECT_TRUE(ListFiles(out_).empty());
}

TEST_F(CliMemory, CtrlCStopsTheRepairOfAHugeDamagedFile)
{
    const fs::path source = dir_ / "zeros.pdf";
    WriteSparseDamagedPdf(source, uint64_t(4) << 30);
    const pid_t pid = Start({"-o", out_.string(), source.string()});
    // Repair lexes every byte of the 4 GB; stop once it is under way.
    ASSERT_TRUE(WaitFor(pid, [&] { return BytesRead(pid) > (16u << 20); })) << "ended before reading the file";
    kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 1) << err_;
    EXPECT_NE(err_.find("zeros.pdf: failed: interrupted"), std::string::npos) << err_;
}

TEST_F(CliMemory, SecondCtrlCEndsAtOnceWithoutPartialFiles)
{
    // 900 MB of gray samples written row by row: its temporary file lives long.
    const fs::path source = dir_ / "gray.pdf";
    WriteFile(source, MakeFlateBombPdf(30000, 30000, "/DeviceGray", 1).bytes);
    const pid_t pid = Start({"-o", out_.string(), source.string()});
    ASSERT_TRUE(WaitFor(pid, [&] { return !StrayFiles(out_).empty(); })) << "no temporary file was ever seen";
    kill(pid, SIGINT);
    kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 1) << err_;
    EXPECT_EQ(ListFiles(out_), std::vector<std::string>{});
}

struct OverBudgetCase {
    const char* name;
    uint32_t declared_width;   // in the codestream
    uint32_t declared_height;
    std::string dict;
};

class CliJpxBudget : public CliMemory, public ::testing::WithParamInterface<OverBudgetCase> {};

TEST_P(CliJpxBudget, SkippedWithTheReasonBeforeItIsDecoded)
{
    const OverBudgetCase& c = GetParam();
    const std::string jp2 = WithJp2DeclaredSize(EncodeJp2Layout(64, 64, Jp2Layout()), c.declared_width,
                                                c.declared_height);
    const fs::path source = dir_ / "big.pdf";
    WriteFile(source, MakeJpxBesideJpegPdf(jp2, c.dict));
    EXPECT_EQ(Wait(Start({"--memory", "64M", "-o", out_.string(), source.string()})), 0) << err_;
    EXPECT_NE(err_.find("page 1: image skipped: its decoding needs more memory than the "), std::string::npos) << err_;
    EXPECT_EQ(ListFiles(out_), std::vector<std::string>{"big-001-01.jpg"}) << err_;
}

// A declared 16000 x 16000 that the page may copy, one that MuPDF would
// decode (a /Decode of its own), and a damaged width of 2^31 under a
// dictionary that declares 500 x 500.
INSTANTIATE_TEST_SUITE_P(
    Files, CliJpxBudget,
    ::testing::Values(OverBudgetCase{"Copyable", 16000, 16000, "/Width 16000 /Height 16000 /ColorSpace /DeviceRGB"},
                      OverBudgetCase{"DecodedByMuPdf", 16000, 16000,
                                     "/Width 16000 /Height 16000 /ColorSpace /DeviceRGB /Decode [1 0 1 0 1 0]"},
                      OverBudgetCase{"DamagedWidth", 0x80000000u, 500, "/Width 500 /Height 500 /ColorSpace /DeviceRGB"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliMemory, ImageWithAnOverBudgetJpeg2000MaskIsSkippedBeforeItIsDecoded)
{
    // MuPDF decodes a JPEG 2000 soft mask whole whenever it loads the image.
    Jp2Layout gray;
    gray.components = 1;
    PdfWriter w;
    const int mask = w.AddStream("/Type /XObject /Subtype /Image /Width 16000 /Height 16000 /ColorSpace /DeviceGray "
                                 "/BitsPerComponent 8 /Filter /JPXDecode",
                                 WithJp2DeclaredSize(EncodeJp2Layout(64, 64, gray), 16000, 16000));
    const ImageObject photo = FlateImage(64, 64, "/DeviceRGB", 3, 8, 3);
    const int image = w.AddStream(photo.dict + " /SMask " + Ref(mask), photo.stream);
    const int jpeg = w.AddStream("/Type /XObject /Subtype /Image /Width 32 /Height 24 /ColorSpace /DeviceRGB "
                                 "/BitsPerComponent 8 /Filter /DCTDecode",
                                 EncodeJpeg(32, 24, 3, MakeSamples(32, 24, 3, 8, 4)));
    w.AddPage(XObjectResources({{"Im1", image}, {"Im2", jpeg}}),
              DrawXObject("Im1", 0, 0, 300, 300) + DrawXObject("Im2", 300, 300, 32, 24));
    const fs::path source = dir_ / "masked.pdf";
    WriteFile(source, w.Build());
    EXPECT_EQ(Wait(Start({"--memory", "64M", "-o", out_.string(), source.string()})), 0) << err_;
    EXPECT_NE(err_.find("page 1: image skipped: its decoding needs more memory than the "), std::string::npos) << err_;
    EXPECT_EQ(ListFiles(out_), std::vector<std::string>{"masked-001-01.jpg"}) << err_;
}

TEST_F(CliMemory, CtrlCStopsAJpeg2000DecodedByWindows)
{
    // Not copied (CMYK): decoded a window of rows at a time while its TIFF is written.
    Jp2Layout layout;
    layout.components = 4;
    const fs::path source = dir_ / "inks.pdf";
    const std::string jp2 = EncodeJp2Layout(kStopJpxSide, kStopJpxSide, layout);
    WriteFile(source, MakeJpxBesideJpegPdf(jp2, "/Width " + std::to_string(kStopJpxSide) + " /Height " +
                                                std::to_string(kStopJpxSide) + " /ColorSpace /DeviceCMYK"));
    const pid_t pid = Start({"-j", "1", "-o", out_.string(), source.string()});
    // Its stream is read whole twice, for its identity and to be decoded.
    ASSERT_TRUE(WaitFor(pid, [&] { return BytesRead(pid) > 2 * jp2.size(); })) << "ended before decoding";
    kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 1) << err_;
    EXPECT_NE(err_.find("inks.pdf: failed: interrupted"), std::string::npos) << err_;
}

}  // namespace
