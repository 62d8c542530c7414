// kestran-extract works without wxWidgets, through kestran::cli. Its answers
// must be those of the wx functions the window uses, or the extractor and the
// window would disagree on ranges, folders and the daily log: each function is
// checked against its wx counterpart on the same input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include <wx/arrstr.h>
#include <wx/datetime.h>
#include <wx/filename.h>
#include <wx/string.h>

#include "common/app_util.h"
#include "common/file_util.h"
#include "domain/page_range.h"
#include "pdf/cli_util.h"
#include "support/pdf_fixtures.h"

namespace cli = kestran::cli;
namespace fs = std::filesystem;
using fixtures::TempDir;

namespace {

std::string Utf8(const wxString& text) { return text.utf8_str().data(); }

TEST(CliUtil, PageRangesReadAsTheWindowReadsThem)
{
    const char* typed[] = {"1",     "  1,3,4,5-10", "1-",     "5-3",   "0",      "1,,2",     "1-2-3", "12abc",
                           "",      "   ",          "1,3-5,7", "2,4-6x", "\t3",    "7 8",      "10-20,30", ",1",
                           "1-10,", "03",           "1-0",     "99999999999", "4,2", "1-3,2-8", "x1", "6-6"};
    for (const char* text : typed) {
        SCOPED_TRACE(text);
        std::string plain = text;
        wxString wide = wxString::FromUTF8(text);
        const std::string matched = cli::MatchPageRange(plain);
        EXPECT_EQ(matched, Utf8(MatchPageRange(wide)));
        EXPECT_EQ(plain, Utf8(wide)) << "leading blanks removed alike";
        for (int count : {1, 3, 5, 10, 100})
            EXPECT_EQ(cli::CheckPageRange(matched, count), CheckPageRange(wxString::FromUTF8(matched), count))
                << count;
    }
}

TEST(CliUtil, SizesWrittenAsTheWindowWritesThem)
{
    for (uint64_t bytes : {uint64_t(0), uint64_t(1), uint64_t(1023), uint64_t(1024), uint64_t(1536),
                           uint64_t(1048575), uint64_t(1048576), uint64_t(43000000), uint64_t(5000000000ULL),
                           uint64_t(1) << 50})
        EXPECT_EQ(cli::FormatSize(bytes), Utf8(FileUtil::FormatSize(bytes))) << bytes;
}

class CliUtilHome : public ::testing::Test {
protected:
    void SetUp() override
    {
        Save("HOME", home_);
        Save("XDG_CONFIG_HOME", config_);
        setenv("HOME", dir_.path().c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override
    {
        Restore("HOME", home_);
        Restore("XDG_CONFIG_HOME", config_);
    }

    void ExpectSameFolders()
    {
        EXPECT_EQ(cli::DefaultOutputDir(), Utf8(AppUtil::GetDefaultOutputDir()));
        EXPECT_EQ(cli::UserDocDir(" files"), Utf8(AppUtil::GetUserDataDir()));
        const std::time_t now = std::time(nullptr);
        EXPECT_EQ(cli::LogFilePath(now), Utf8(FileUtil::GetLogFilePath(wxDateTime(now))));
        EXPECT_TRUE(cli::IsFolder(cli::DefaultOutputDir()));
    }

    void WriteUserDirs(const std::string& line)
    {
        fs::create_directories(dir_ / ".config");
        fixtures::WriteFile(dir_ / ".config" / "user-dirs.dirs", "# written by xdg-user-dirs-update\n" + line + "\n");
    }

    TempDir dir_;

private:
    struct Saved {
        bool set = false;
        std::string value;
    };
    static void Save(const char* name, Saved& saved)
    {
        const char* value = std::getenv(name);
        saved.set = value != nullptr;
        saved.value = value != nullptr ? value : "";
    }
    static void Restore(const char* name, const Saved& saved)
    {
        if (saved.set)
            setenv(name, saved.value.c_str(), 1);
        else
            unsetenv(name);
    }
    Saved home_;
    Saved config_;
};

TEST_F(CliUtilHome, FoldersWithoutXdgDocumentsFolder)
{
    ExpectSameFolders();
    EXPECT_EQ(cli::DocumentsDir(), (dir_ / "Documents").string());
}

TEST_F(CliUtilHome, FoldersInTheXdgDocumentsFolder)
{
    fs::create_directories(dir_ / "Mes documents");
    WriteUserDirs("XDG_DOCUMENTS_DIR=\"$HOME/Mes documents\"");
    ExpectSameFolders();
    EXPECT_EQ(cli::DocumentsDir(), (dir_ / "Mes documents").string());
}

TEST_F(CliUtilHome, XdgDocumentsFolderThatIsMissingOrTheHomeFolder)
{
    WriteUserDirs("XDG_DOCUMENTS_DIR=\"$HOME/Missing\"");
    ExpectSameFolders();
    WriteUserDirs("XDG_DOCUMENTS_DIR=\"$HOME/\"");
    ExpectSameFolders();
    fs::create_directories(dir_ / "cfg");
    fs::create_directories(dir_ / "Elsewhere");
    fixtures::WriteFile(dir_ / "cfg" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Elsewhere\"\n");
    setenv("XDG_CONFIG_HOME", (dir_ / "cfg").c_str(), 1);
    ExpectSameFolders();
}

TEST_F(CliUtilHome, LogEntriesGoToTheDailyLogInItsFormat)
{
    cli::WriteLog("Begin [] [0]\n");
    cli::WriteLog("/a/b.pdf [/out] [3]\n");
    const std::string log = fixtures::ReadFile(Utf8(FileUtil::GetLogFilePath()));
    ASSERT_EQ(log.size(), 2 * 11 + std::string("Begin [] [0]\n/a/b.pdf [/out] [3]\n").size()) << log;
    EXPECT_EQ(log.compare(0, 2, "# "), 0);
    EXPECT_EQ(log[4], ':');
    EXPECT_EQ(log.compare(10, 14, " Begin [] [0]\n"), 0) << log;
    EXPECT_NE(log.find("# ", 24), std::string::npos);
}

TEST(CliUtil, FolderScanFindsWhatTheWindowFinds)
{
    TempDir dir;
    for (const char* name : {"b.pdf", "a.PDF", "c.Pdf", ".hidden.pdf", "pdf", "notes.txt", "x.pdf.bak", "é.pdf",
                             "Z.pdf"})
        fixtures::WriteFile(dir / name, "%PDF-1.4\n");
    fs::create_directories(dir / "folder.pdf");
    wxArrayString list;
    FileUtil::ListFiles(wxString::FromUTF8(dir.path().string()), list, "*.pdf");
    list.Sort();
    std::vector<std::string> expected;
    for (const wxString& path : list)
        expected.push_back(Utf8(path));
    EXPECT_EQ(cli::ListPdfFiles(dir.path().string()), expected);
    EXPECT_EQ(expected.size(), 6u);
}

TEST(CliUtil, PathsMadeAbsoluteAsWxFileNameMakesThem)
{
    auto wx_absolute = [](const std::string& path) {
        wxFileName name(wxString::FromUTF8(path));
        name.MakeAbsolute();
        wxString full = name.GetFullPath();
        while (full.size() > 1 && full.EndsWith("/"))
            full.RemoveLast();
        return Utf8(full);
    };
    for (const char* path : {"a.pdf", "./a.pdf", "sub/../a.pdf", "sub/dir/", "/tmp//x/./y.pdf", "/", "/tmp/",
                             "~/doc.pdf", "/a/b/../../c", "../x/y.pdf"})
        EXPECT_EQ(cli::AbsolutePath(path), wx_absolute(path)) << path;
    // wxFileName leaves a last ".." as a file name; it names the same folder.
    EXPECT_EQ(fs::path(cli::AbsolutePath("..")), fs::current_path().parent_path());
}

}  // namespace
