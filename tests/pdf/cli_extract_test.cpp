// kestran-extract run as a user runs it: a real process with its own HOME,
// checked through its exit status, its output lines and the files it writes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <regex>
#include <thread>

#include "support/child_wait.h"
#include "support/pdf_fixtures.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace fixtures;

namespace {

const fs::path kExtractor = fs::path(KESTRAN_STAGE_DIR) / "bin" / "kestran-extract";

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(kExtractor)) << kExtractor << " is not built";
        home_ = dir_ / "home";
        fs::create_directories(home_ / "Documents");
    }

    // Starts the extractor with `args` in a temporary HOME; output goes to files.
    pid_t Start(const std::vector<std::string>& args) {
        std::vector<std::string> env_text;
        for (char** e = environ; *e; ++e) {
            std::string v = *e;
            if (v.rfind("HOME=", 0) == 0 || v.rfind("XDG_", 0) == 0)
                continue;
            env_text.push_back(v);
        }
        env_text.push_back("HOME=" + home_.string());
        env_text.push_back("XDG_CONFIG_HOME=" + (home_ / ".config").string());
        std::vector<char*> envp, argv;
        for (auto& s : env_text)
            envp.push_back(s.data());
        envp.push_back(nullptr);
        std::string exe = kExtractor.string();
        argv.push_back(exe.data());
        std::vector<std::string> args_copy = args;
        for (auto& a : args_copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string out_path = (dir_ / "stdout.txt").string(), err_path = (dir_ / "stderr.txt").string();
        pid_t pid = fork();
        if (pid == 0) {
            int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            if (run_as_ != 0 && (setgid(run_as_) != 0 || setuid(run_as_) != 0))
                _exit(126);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        return pid;
    }

    ProcessResult Wait(pid_t pid) {
        ProcessResult r;
        // A hung extractor fails the test instead of hanging it.
        if (const std::optional<int> status = WaitWithGuard(pid, std::chrono::seconds(60), "kestran-extract"))
            r.status = WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
        r.out = ReadFile(dir_ / "stdout.txt");
        r.err = ReadFile(dir_ / "stderr.txt");
        return r;
    }

    ProcessResult RunCli(const std::vector<std::string>& args) { return Wait(Start(args)); }

    fs::path Put(const FixturePdf& pdf, const std::string& relative) {
        fs::path p = dir_ / relative;
        fs::create_directories(p.parent_path());
        WriteFile(p, pdf.bytes);
        return p;
    }

    static int LinesMentioning(const std::string& text, const std::string& what) {
        int n = 0;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            if (text.substr(start, end - start).find(what) != std::string::npos)
                ++n;
            start = end + 1;
        }
        return n;
    }

    TempDir dir_;
    fs::path home_;
    uid_t run_as_ = 0;  // a user (and group) to run the extractor as, 0 = this process's
};

TEST_F(Cli, HelpAndVersion) {
    ProcessResult help = RunCli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_FALSE(help.out.empty() && help.err.empty());
    ProcessResult version = RunCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_NE((version.out + version.err).find(KESTRAN_VERSION), std::string::npos);
}

TEST_F(Cli, UsageErrorsExitWithTwo) {
    EXPECT_EQ(RunCli({}).status, 2);
    EXPECT_EQ(RunCli({"--no-such-option", "x.pdf"}).status, 2);
    EXPECT_EQ(RunCli({"x.pdf", "-o"}).status, 2);
    EXPECT_TRUE(ListFiles(dir_.path()).size() <= 2u) << "a usage error must not extract anything";
}

TEST_F(Cli, ExtractsOneFileWithOneLineForIt) {
    FixturePdf pdf = MakeLogoPdf(3);
    fs::path src = Put(pdf, "in/report.pdf");
    fs::create_directory(dir_ / "out");
    ProcessResult r = RunCli({"-o", (dir_ / "out").string(), src.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ListFiles(dir_ / "out"), ExpectedNames(pdf, "report"));
    EXPECT_EQ(LinesMentioning(r.out, "report.pdf"), 1) << r.out;
    EXPECT_TRUE(ReadFile(dir_ / "out" / "report-002-01.jpg") == pdf.images[2].stream);
}

TEST_F(Cli, QuietPrintsNoLinePerFile) {
    fs::path src = Put(MakeLogoPdf(1), "in/quiet.pdf");
    fs::create_directory(dir_ / "out");
    ProcessResult r = RunCli({"-q", "-o", (dir_ / "out").string(), src.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("quiet.pdf"), std::string::npos) << r.out;
    EXPECT_EQ(ListFiles(dir_ / "out").size(), 2u);
}

TEST_F(Cli, SomeFilesFailingExitsWithOne) {
    FixturePdf good = MakeLogoPdf(1);
    fs::path a = Put(good, "in/good.pdf");
    fs::path b = dir_ / "in" / "broken.pdf";
    WriteFile(b, "this is no pdf");
    fs::create_directory(dir_ / "out");
    ProcessResult r = RunCli({"--output", (dir_ / "out").string(), b.string(), a.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ListFiles(dir_ / "out"), ExpectedNames(good, "good")) << "one failure must not stop the others";
    EXPECT_EQ(LinesMentioning(r.out + r.err, "broken.pdf"), 1) << r.out << r.err;
    EXPECT_EQ(LinesMentioning(r.out, "good.pdf"), 1) << r.out;
}

TEST_F(Cli, PageRangeOption) {
    FixturePdf pdf = MakeMultiPagePdf(8);
    fs::path src = Put(pdf, "in/pages.pdf");
    fs::create_directory(dir_ / "out");
    ProcessResult r = RunCli({"-p", "2,5-6", "-o", (dir_ / "out").string(), src.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ListFiles(dir_ / "out"), ExpectedNames(pdf, "pages", {2, 5, 6}));
    ProcessResult outside = RunCli({"--pages", "20-30", "-o", (dir_ / "out").string(), src.string()});
    EXPECT_NE(outside.status, 0) << "a range that selects no page is a failure";
    EXPECT_EQ(ListFiles(dir_ / "out").size(), 3u);
}

TEST_F(Cli, RangeThatIsNoRangeIsAUsageError) {
    fs::path src = Put(MakeMultiPagePdf(3), "in/pages.pdf");
    fs::create_directory(dir_ / "out");
    EXPECT_EQ(RunCli({"-p", "abc", "-o", (dir_ / "out").string(), src.string()}).status, 2);
    EXPECT_TRUE(ListFiles(dir_ / "out").empty());
}

TEST_F(Cli, NonAsciiPaths) {
    FixturePdf pdf = MakeJpegPdf(JpegKind::Rgb);
    fs::path src = Put(pdf, "Ordner ß/Bücher 日本.pdf");
    fs::path out = dir_ / "Ausgabe é";
    fs::create_directory(out);
    ProcessResult r = RunCli({"-o", out.string(), src.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"Bücher 日本-001-01.jpg"}));
    EXPECT_EQ(LinesMentioning(r.out, "Bücher 日本.pdf"), 1) << r.out;
}

TEST_F(Cli, FolderScanTakesPdfFilesOfThatFolderInAnyCase) {
    FixturePdf pdf = MakeMultiPagePdf(1);
    fs::path folder = dir_ / "batch";
    Put(pdf, "batch/a.pdf");
    Put(pdf, "batch/B.PDF");
    Put(pdf, "batch/c.Pdf");
    Put(pdf, "batch/sub/d.pdf");
    WriteFile(folder / "notes.txt", "not a pdf");
    fs::create_directory(dir_ / "out");
    ProcessResult r = RunCli({"-o", (dir_ / "out").string(), folder.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ListFiles(dir_ / "out"),
              (std::vector<std::string>{"B-001-01.png", "a-001-01.png", "c-001-01.png"}));
    EXPECT_EQ(LinesMentioning(r.out, "notes.txt"), 0);
}

TEST_F(Cli, SourceFolderOptionWritesBesideEachFile) {
    FixturePdf one = MakeJpegPdf(JpegKind::Rgb);
    FixturePdf two = MakeJp2Pdf();
    fs::path a = Put(one, "x/one.pdf");
    fs::path b = Put(two, "y/two.pdf");
    ProcessResult r = RunCli({"-s", a.string(), b.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ListFiles(dir_ / "x"), (std::vector<std::string>{"one-001-01.jpg", "one.pdf"}));
    EXPECT_EQ(ListFiles(dir_ / "y"), (std::vector<std::string>{"two-001-01.jp2", "two.pdf"}));
}

TEST_F(Cli, DefaultOutputFolderAndDailyLog) {
    FixturePdf pdf = MakeLogoPdf(1);
    fs::path src = Put(pdf, "in/default.pdf");
    ProcessResult r = RunCli({src.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    fs::path out = home_ / "Documents" / "Olvarin" / "Olvarin Kestran";
    EXPECT_EQ(ListFiles(out), ExpectedNames(pdf, "default"));
    fs::path log_dir = home_ / "Documents" / "Olvarin files" / "Olvarin Kestran" / "Log";
    std::vector<std::string> logs = ListFiles(log_dir);
    ASSERT_EQ(logs.size(), 1u) << "one log file per day";
    std::string log = ReadFile(log_dir / logs[0]);
    EXPECT_NE(log.find("Begin"), std::string::npos) << log;
    EXPECT_NE(log.find("Finish"), std::string::npos) << log;
    EXPECT_NE(log.find("default.pdf"), std::string::npos) << log;
}

TEST_F(Cli, InterruptLeavesNoTemporaryFile) {
    FixturePdf pdf = MakeManyImagesPdf(300, 128);
    fs::path src = Put(pdf, "in/big.pdf");
    fs::path out = dir_ / "out";
    fs::create_directory(out);
    pid_t pid = Start({"-o", out.string(), src.string()});
    // Interrupt once the first images are there.
    for (int i = 0; i < 2000 && ListFiles(out).size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(pid, SIGINT);
    ProcessResult r = Wait(pid);
    size_t written = ListFiles(out).size() - StrayFiles(out).size();
    EXPECT_TRUE(StrayFiles(out).empty()) << ::testing::PrintToString(StrayFiles(out));
    if (written < pdf.images.size()) {
        EXPECT_EQ(r.status, 1) << "an interrupted file counts as failed";
    }
    for (const std::string& name : ListFiles(out)) {
        PngImage png;
        EXPECT_TRUE(DecodePng(ReadFile(out / name), &png)) << name;
    }
}

TEST_F(Cli, ControlCharactersInPathsKeepEachLineOneLine) {
    fs::path good = Put(MakeLogoPdf(1), "in/two\nlines.pdf");
    WriteFile(dir_ / "in" / "tab\tbad.pdf", "this is no pdf");
    ProcessResult r = RunCli({"-o", (dir_ / "out").string(), good.string(), (dir_ / "in" / "tab\tbad.pdf").string()});
    EXPECT_EQ(LinesMentioning(r.out, "in/two\\nlines.pdf: 2 images"), 1) << r.out;
    EXPECT_EQ(LinesMentioning(r.err, "in/tab\\tbad.pdf: failed: not a PDF"), 1) << r.err;
    fs::path log_dir = home_ / "Documents" / "Olvarin files" / "Olvarin Kestran" / "Log";
    std::string log = ReadFile(log_dir / ListFiles(log_dir).at(0));
    EXPECT_EQ(LinesMentioning(log, "# "), 4) << "Begin, two files, Finish: " << log;
    EXPECT_EQ(LinesMentioning(log, "in/two\\nlines.pdf ["), 1) << log;
}

TEST_F(Cli, UnreadableFileSaysPermissionDenied) {
    fs::path locked = Put(MakeLogoPdf(1), "in/locked.pdf");
    fs::path out = dir_ / "out";
    fs::create_directory(out);
    ASSERT_EQ(chmod(locked.c_str(), 0000), 0);
    if (geteuid() == 0) {  // root reads any file: run as a user who may use the folders, not read the file
        run_as_ = 65534;
        for (const fs::path& p : {dir_.path(), dir_ / "in", out, home_, home_ / "Documents"})
            ASSERT_EQ(chmod(p.c_str(), 0777), 0) << p;
    }
    ProcessResult r = RunCli({"-o", out.string(), locked.string()});
    if (r.status == 126)
        GTEST_SKIP() << "this process may not change its user, so no file can be made unreadable to it";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(LinesMentioning(r.err, "locked.pdf: failed: cannot be read: Permission denied"), 1) << r.err;
}

// -j runs files side by side (and shares threads among a file's images when
// there are fewer files than threads): what the user gets must not change.
TEST_F(Cli, JobsGiveTheFilesAndLinesOfOneJob) {
    Put(MakeLogoPdf(4), "in/a-logo.pdf");
    Put(MakeUndecodablePdf(), "in/b-undecodable.pdf");
    WriteFile(dir_ / "in" / "c-broken.pdf", "this is no pdf");
    Put(MakeManyImagesPdf(30, 24), "in/d-many.pdf");
    Put(MakeMultiPagePdf(9), "in/e-pages.pdf");
    Put(MakeTruncatedPdf(), "in/f-cut.pdf");
    // The seconds in the lines differ from run to run.
    auto without_times = [](std::string text) {
        static const std::regex seconds(R"([0-9]+\.[0-9]+ s\b)");
        return std::regex_replace(text, seconds, "# s");
    };
    struct Run {
        ProcessResult result;
        std::map<std::string, std::string> files;
        std::string manifest;
    };
    auto run = [&](const std::string& jobs) {
        const fs::path out = dir_ / ("out-j" + jobs);
        const fs::path manifest = dir_ / ("manifest-j" + jobs + ".csv");
        Run r;
        r.result = RunCli({"-j", jobs, "-o", out.string(), "--manifest", manifest.string(), (dir_ / "in").string()});
        r.manifest = ReadFile(manifest);
        for (const std::string& name : ListFiles(out))
            r.files[name] = Md5Hex(ReadFile(out / name));
        EXPECT_TRUE(StrayFiles(out).empty()) << "-j " << jobs;
        return r;
    };
    const Run one = run("1");
    EXPECT_EQ(one.result.status, 1) << "the broken file fails";
    EXPECT_EQ(LinesMentioning(one.result.err, "b-undecodable.pdf: page 1: image"), 3) << one.result.err;
    // The extractor's own lines, which all name their file. A decoder library
    // may print a warning of its own straight to standard error (libjpeg does
    // for damaged data); it comes when the decoding thread meets it.
    const std::string in = (dir_ / "in").string();
    auto own_lines = [&](const std::string& text) {
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            if (text.compare(start, in.size(), in) == 0)
                lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    };
    for (const std::string jobs : {"2", "3", "8"}) {
        SCOPED_TRACE("-j " + jobs);
        const Run many = run(jobs);
        EXPECT_EQ(many.result.status, one.result.status);
        EXPECT_EQ(many.files, one.files);
        EXPECT_EQ(many.manifest, one.manifest) << "rows of each file together, files in order";
        EXPECT_EQ(own_lines(many.result.err), own_lines(one.result.err));
        EXPECT_EQ(many.result.err.size(), one.result.err.size()) << "the same lines, whatever their place";
        EXPECT_EQ(without_times(many.result.out), without_times(one.result.out));
    }
    EXPECT_EQ(RunCli({"-j", "0", dir_.path().string()}).status, 2);
    EXPECT_EQ(RunCli({"--jobs", "two", dir_.path().string()}).status, 2);
}

}  // namespace
