// kestran-extract as the task of a batch engine: the list of files it reads
// (--files-from, -0) and the summary it writes (--summary-json), read back by
// Python's own JSON parser as a cluster driver reads it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;
using namespace fixtures;

namespace {

const fs::path kExtractor = fs::path(KESTRAN_STAGE_DIR) / "bin" / "kestran-extract";

std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class TaskUnit : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(kExtractor)) << kExtractor << " is not built";
        fs::create_directories(dir_ / "home");
        const std::string jpeg = MakeJpegPdf(JpegKind::Rgb).bytes;
        for (const char* name : {"a.pdf", "b.pdf", "c.pdf", "new\nline.pdf"})
            WriteFile(dir_ / name, jpeg);
    }

    // Runs the extractor in the test folder with `stdin_text` as its input; the exit status.
    int Extract(const std::vector<std::string>& args, const std::string& stdin_text = std::string())
    {
        WriteFile(dir_ / "stdin.txt", stdin_text);
        std::string command = "cd " + Quoted(dir_.path().string()) + " && HOME=" + Quoted((dir_ / "home").string()) +
                              " " + Quoted(kExtractor.string()) + " -q -o out";
        for (const std::string& arg : args)
            command += " " + Quoted(arg);
        command += " <stdin.txt >/dev/null 2>stderr.txt";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // What `expression` (Python, over `s`, the parsed summary) prints.
    std::string FromSummary(const std::string& expression)
    {
        const std::string command = "/usr/bin/python3 -c " +
                                    Quoted("import json, os, sys\ns = json.load(open(sys.argv[1], encoding='utf-8'))\n"
                                           "sys.stdout.buffer.write(os.fsencode(str(" + expression + ")))") +
                                    " " + Quoted((dir_ / "summary.json").string());
        std::string output;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[4096];
            size_t got = 0;
            while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
                output.append(buffer, got);
            pclose(pipe);
        }
        return output;
    }

    TempDir dir_;
};

TEST_F(TaskUnit, FilesFromTakesLinesNulsAndStandardInputAfterTheArguments)
{
    const struct {
        const char* name;
        std::vector<std::string> args;  // before --files-from
        std::string list;
        bool nul;
        bool from_stdin;
        std::string files;  // names in the summary, '|' after each
    } cases[] = {
        {"lines", {}, "a.pdf\nb.pdf\n", false, false, "a.pdf|b.pdf|"},
        {"blank lines, CR LF, no last newline", {}, "\n\na.pdf\r\n\nb.pdf", false, false, "a.pdf|b.pdf|"},
        {"NUL-separated, a newline inside a name", {}, std::string("new\nline.pdf\0a.pdf\0", 19), true, false,
         "new\nline.pdf|a.pdf|"},
        {"standard input", {}, "c.pdf\n", false, true, "c.pdf|"},
        {"arguments first", {"c.pdf"}, "a.pdf\n", false, false, "c.pdf|a.pdf|"},
        {"empty list", {}, "\n\n", false, true, ""},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir_ / "out");
        if (!c.from_stdin)
            WriteFile(dir_ / "list", c.list);
        std::vector<std::string> args = c.args;
        for (const char* arg : {"--files-from", c.from_stdin ? "-" : "list", "--summary-json", "summary.json"})
            args.push_back(arg);
        if (c.nul)
            args.push_back("-0");
        EXPECT_EQ(Extract(args, c.from_stdin ? c.list : std::string()), 0) << c.name;
        EXPECT_EQ(FromSummary("''.join(os.path.basename(f['path']) + '|' for f in s['files'])"), c.files) << c.name;
    }
    EXPECT_EQ(Extract({"--files-from", "no-such-list"}), 2) << "a list that cannot be read is a usage error";
}

TEST_F(TaskUnit, SummaryNamesEveryFileWithItsResultAndReason)
{
    WriteFile(dir_ / "damaged.pdf", "%PDF-1.7\nthis is no PDF body at all\n");
    WriteFile(dir_ / "locked.pdf", MakeEncryptedPdf("secret").bytes);
    // A name that is not UTF-8 and holds a quote: the JSON must stay valid and give the bytes back.
    WriteFile(dir_ / "odd\xff\"name.pdf", MakeJpegPdf(JpegKind::Gray).bytes);
    const int status =
        Extract({"a.pdf", "damaged.pdf", "missing.pdf", "locked.pdf", "odd\xff\"name.pdf", "--summary-json", "summary.json"});
    EXPECT_EQ(status, 1);
    // One line per file: name, status, result, whether a reason is given, images.
    EXPECT_EQ(FromSummary("''.join('%s %s %d %s %d\\n' % (os.path.basename(f['path']), f['status'], f['result'], "
                          "bool(f['reason']), f['images_written']) for f in s['files'])"),
              "missing.pdf failed 1 True 0\n"
              "a.pdf done 0 False 1\n"
              "damaged.pdf failed 1 True 0\n"
              "locked.pdf failed 1 True 0\n"
              "odd\xff\"name.pdf done 0 False 1\n")
        << "the odd name comes back as its bytes through surrogateescape";
    EXPECT_EQ(FromSummary("[f['reason'] for f in s['files'] if 'locked' in f['path']][0]"), "needs a password");
    EXPECT_EQ(FromSummary("'%(files)d %(done)d %(failed)d %(images_written)d' % s['totals']"), "5 2 3 2");
    EXPECT_EQ(FromSummary("'%d %s %s' % (s['exit_status'], s['interrupted'], s['peak_memory_bytes'] > 1 << 20)"),
              "1 False True");
    EXPECT_EQ(ListFiles(dir_.path()).size(), 10u) << "no temporary file of the summary is left";
}

}  // namespace
