// Existence tests, folder creation, listing by type, size texts, file names.
#include <algorithm>
#include <climits>

#include <gtest/gtest.h>
#include <wx/dir.h>

#include "common/file_util.h"
#include "common/folder_listing.h"
#include "common/string_util.h"
#include "support/temp_home.h"

namespace {

struct SizeCase {
    uint64_t bytes;
    const char* text;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.bytes; }

class FormatSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(FormatSizeTest, OneDecimalAndBinaryUnits) {
    EXPECT_EQ(FileUtil::FormatSize(GetParam().bytes), GetParam().text) << GetParam().bytes;
}

INSTANTIATE_TEST_SUITE_P(
    SizeFormatting, FormatSizeTest,
    ::testing::Values(SizeCase{0, "0.0B"}, SizeCase{1, "1.0B"}, SizeCase{1023, "1023.0B"},
                      SizeCase{1024, "1.0KB"}, SizeCase{1536, "1.5KB"}, SizeCase{1048575, "1024.0KB"},
                      SizeCase{1048576, "1.0MB"}, SizeCase{1073741824, "1.0GB"},
                      SizeCase{1099511627776ULL, "1024.0GB"},
                      SizeCase{UINT64_MAX, "17179869184.0GB"}));

using ListingFiles = TempHomeTest;

wxArrayString Sorted(wxArrayString list) {
    list.Sort();
    return list;
}

TEST_F(ListingFiles, MatchesTheExtensionInAnyCaseButOnlyFiles) {
    const wxString dir = home_.Path() + "/in";
    ASSERT_TRUE(TempHome::MakeDirs(dir + "/e.pdf"));
    for (const char* name : {"a.pdf", "B.PDF", "c.pdf.bak", "d", ".hidden.pdf"})
        ASSERT_TRUE(TempHome::WriteFile(dir + "/" + name, "x"));

    for (const char* filter : {"*.pdf", ".pdf", "pdf"}) {
        wxArrayString list;
        FileUtil::ListFiles(dir, list, filter);
        wxArrayString expected;
        expected.Add(dir + "/B.PDF");
        expected.Add(dir + "/a.pdf");
        EXPECT_EQ(Sorted(list), Sorted(expected)) << filter;
    }
}

TEST_F(ListingFiles, UpperCaseFilterMatchesNothing) {
    const wxString dir = home_.Path() + "/in";
    ASSERT_TRUE(TempHome::MakeDirs(dir));
    ASSERT_TRUE(TempHome::WriteFile(dir + "/A.PDF", "x"));
    wxArrayString list;
    FileUtil::ListFiles(dir, list, "*.PDF");
    EXPECT_TRUE(list.empty());
}

TEST_F(ListingFiles, NameWithoutDotIsItsOwnExtension) {
    const wxString dir = home_.Path() + "/in";
    ASSERT_TRUE(TempHome::MakeDirs(dir));
    ASSERT_TRUE(TempHome::WriteFile(dir + "/pdf", "x"));
    ASSERT_TRUE(TempHome::WriteFile(dir + "/notpdf", "x"));
    wxArrayString list;
    FileUtil::ListFiles(dir, list, "pdf");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], dir + "/pdf");
}

TEST_F(ListingFiles, AppendsToWhatIsAlreadyThere) {
    const wxString dir = home_.Path() + "/in";
    ASSERT_TRUE(TempHome::MakeDirs(dir));
    ASSERT_TRUE(TempHome::WriteFile(dir + "/a.pdf", "x"));
    wxArrayString list;
    list.Add("earlier");
    FileUtil::ListFiles(dir, list, "*.pdf");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], "earlier");
    EXPECT_EQ(list[1], dir + "/a.pdf");
}

TEST_F(ListingFiles, MissingFolderOrFileAppendsNothing) {
    wxArrayString list;
    FileUtil::ListFiles(home_.Path() + "/missing", list, "*.pdf");
    const wxString file = home_.Path() + "/x.pdf";
    ASSERT_TRUE(TempHome::WriteFile(file, "x"));
    FileUtil::ListFiles(file, list, "*.pdf");
    EXPECT_TRUE(list.empty());
}

TEST(FolderOrder, NamesSortAsAFileManagerShowsThem) {
    std::vector<std::string> names = {"scan10.pdf", "Scan2.pdf", "scan1.pdf", "b.pdf", "A.pdf",
                                      "scan02.pdf", "a.pdf",    "scan.pdf",  "10.pdf", "9.pdf"};
    std::sort(names.begin(), names.end(), kestran::NaturalLess);
    EXPECT_EQ(names, (std::vector<std::string>{"9.pdf", "10.pdf", "A.pdf", "a.pdf", "b.pdf", "scan.pdf", "scan1.pdf",
                                               "Scan2.pdf", "scan02.pdf", "scan10.pdf"}));
}

TEST_F(ListingFiles, ListsInNameOrder) {
    for (const char* name : {"p10.pdf", "p9.pdf", "P1.PDF", "q.pdf"})
        ASSERT_TRUE(TempHome::WriteFile(home_.Path() + "/" + name, "x"));
    wxArrayString list;
    FileUtil::ListFiles(home_.Path(), list, "*.pdf");
    std::vector<wxString> names;
    for (const wxString& path : list)
        names.push_back(path.AfterLast('/'));
    EXPECT_EQ(names, (std::vector<wxString>{"P1.PDF", "p9.pdf", "p10.pdf", "q.pdf"}));
}

using PathChecks = TempHomeTest;

TEST_F(PathChecks, ExistenceOfFilesAndFolders) {
    const wxString file = home_.Path() + "/f.txt";
    ASSERT_TRUE(TempHome::WriteFile(file, "x"));
    EXPECT_TRUE(FileUtil::IsPathExists(file));
    EXPECT_TRUE(FileUtil::IsPathExists(home_.Path()));
    EXPECT_FALSE(FileUtil::IsPathExists(home_.Path() + "/nothing"));
    EXPECT_FALSE(FileUtil::IsPathExists(""));
}

TEST_F(PathChecks, MakeDirCreatesOneLevelOnly) {
    EXPECT_TRUE(FileUtil::MakeDir(home_.Path() + "/one"));
    EXPECT_TRUE(wxDir::Exists(home_.Path() + "/one"));
    EXPECT_FALSE(FileUtil::MakeDir(home_.Path() + "/one"));            // exists already
    EXPECT_FALSE(FileUtil::MakeDir(home_.Path() + "/two/three"));      // no parents
    EXPECT_FALSE(wxDir::Exists(home_.Path() + "/two"));
}

TEST(PathNames, FullNameIsNameAndExtension) {
    EXPECT_EQ(FileUtil::GetFullName("C:/x/y/report.pdf"), "report.pdf");
    EXPECT_EQ(FileUtil::GetFullName("/home/u/a b.PDF"), "a b.PDF");
    EXPECT_EQ(FileUtil::GetFullName("noext"), "noext");
    EXPECT_EQ(FileUtil::GetFullName("/home/u/Ünïcödé.pdf"), "Ünïcödé.pdf");
}

struct IntCase {
    const char* text;
    int value;
};

void PrintTo(const IntCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ToIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(ToIntTest, ReadsLikeAtoiAndClamps) {
    EXPECT_EQ(StringUtil::ToInt(wxString::FromUTF8(GetParam().text)), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ToIntTest,
    ::testing::Values(IntCase{"", 0}, IntCase{"abc", 0}, IntCase{"42", 42}, IntCase{"  \t\n7", 7},
                      IntCase{"-12", -12}, IntCase{"+5", 5}, IntCase{"12abc", 12}, IntCase{"1-3", 1},
                      IntCase{"- 3", 0}, IntCase{"007", 7}, IntCase{"2147483647", INT_MAX},
                      IntCase{"2147483648", INT_MAX}, IntCase{"99999999999999999999", INT_MAX},
                      IntCase{"-2147483648", INT_MIN}, IntCase{"-99999999999999999999", INT_MIN}));

}  // namespace
