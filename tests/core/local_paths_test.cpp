// Plain path questions and the folder scan, as kestran-extract and the window
// both use them.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/folder_listing.h"
#include "common/local_paths.h"
#include "support/temp_home.h"

namespace {

namespace fs = std::filesystem;

// Runs the test in a given current folder and goes back afterwards.
class InFolder {
public:
    explicit InFolder(const std::string& folder) : previous_(fs::current_path()) { fs::current_path(folder); }
    ~InFolder() {
        std::error_code ignored;
        fs::current_path(previous_, ignored);
    }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    fs::path previous_;
};

using AbsolutePaths = TempHomeTest;

TEST_F(AbsolutePaths, ResolvedAgainstTheCurrentFolder) {
    const std::string home = home_.Path().utf8_string();
    ASSERT_TRUE(TempHome::MakeDirs(home_.Path() + "/work/sub"));
    InFolder here(home + "/work");
    const struct {
        const char* typed;
        std::string absolute;
    } cases[] = {
        {"a.pdf", home + "/work/a.pdf"},
        {"./a.pdf", home + "/work/a.pdf"},
        {"sub/../a.pdf", home + "/work/a.pdf"},
        {"sub/dir/", home + "/work/sub/dir"},
        {"../x/y.pdf", home + "/x/y.pdf"},
        {"..", home},
        {".", home + "/work"},
        {"~", home},
        {"~/doc.pdf", home + "/doc.pdf"},
        {"~user/doc.pdf", home + "/work/~user/doc.pdf"},  // only the own home is expanded
        {"/tmp//x/./y.pdf", "/tmp/x/y.pdf"},
        {"/a/b/../../c", "/c"},
        {"/", "/"},
        {"/tmp/", "/tmp"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kestran::AbsolutePath(c.typed), c.absolute) << c.typed;
}

using PathKinds = TempHomeTest;

TEST_F(PathKinds, FilesAndFoldersThroughLinks) {
    const std::string home = home_.Path().utf8_string();
    ASSERT_TRUE(TempHome::WriteFile(home_.Path() + "/f.pdf", "x"));
    ASSERT_EQ(symlink((home + "/f.pdf").c_str(), (home + "/link.pdf").c_str()), 0);
    ASSERT_EQ(symlink((home + "/gone").c_str(), (home + "/dangling.pdf").c_str()), 0);
    ASSERT_EQ(symlink(home.c_str(), (home + "/dirlink").c_str()), 0);

    EXPECT_TRUE(kestran::IsFile(home + "/f.pdf"));
    EXPECT_TRUE(kestran::IsFile(home + "/link.pdf"));
    EXPECT_FALSE(kestran::IsFile(home + "/dangling.pdf"));
    EXPECT_FALSE(kestran::IsFile(home));
    EXPECT_FALSE(kestran::IsFile(""));
    EXPECT_TRUE(kestran::IsFolder(home));
    EXPECT_TRUE(kestran::IsFolder(home + "/dirlink"));
    EXPECT_FALSE(kestran::IsFolder(home + "/f.pdf"));
    EXPECT_FALSE(kestran::IsFolder(""));
}

using FolderListing = TempHomeTest;

std::vector<std::string> Sorted(std::vector<std::string> list) {
    std::sort(list.begin(), list.end());
    return list;
}

TEST_F(FolderListing, OnlyRegularVisibleFilesOfTheExtension) {
    const std::string dir = home_.Path().utf8_string() + "/in";
    ASSERT_TRUE(TempHome::MakeDirs(wxString::FromUTF8(dir + "/folder.pdf")));
    for (const char* name : {"b.pdf", "a.PDF", "c.Pdf", ".hidden.pdf", "pdf", "notes.txt", "x.pdf.bak",
                             "\xC3\xA9t\xC3\xA9.pdf", "Z.pdf", "tar.gz.pdf"})
        ASSERT_TRUE(TempHome::WriteFile(wxString::FromUTF8(dir + "/" + name), "%PDF-1.4\n"));
    ASSERT_EQ(symlink((dir + "/b.pdf").c_str(), (dir + "/link.pdf").c_str()), 0);
    ASSERT_EQ(symlink((dir + "/gone.pdf").c_str(), (dir + "/dangling.pdf").c_str()), 0);
    // Opening a pipe would wait for a writer that never comes.
    ASSERT_EQ(mkfifo((dir + "/pipe.pdf").c_str(), 0600), 0);

    // "pdf" has no dot: the whole name is its extension.
    const std::vector<std::string> expected = {dir + "/Z.pdf",      dir + "/a.PDF",    dir + "/b.pdf",
                                               dir + "/c.Pdf",      dir + "/link.pdf", dir + "/pdf",
                                               dir + "/tar.gz.pdf", dir + "/\xC3\xA9t\xC3\xA9.pdf"};
    EXPECT_EQ(Sorted(kestran::ListFiles(dir, "*.pdf")), expected);
    EXPECT_EQ(Sorted(kestran::ListFiles(dir, "pdf")), expected);
    EXPECT_EQ(Sorted(kestran::ListFiles(dir, "*.gz")), std::vector<std::string>{});
    EXPECT_EQ(Sorted(kestran::ListFiles(dir, "*.bak")), std::vector<std::string>{dir + "/x.pdf.bak"});
}

TEST_F(FolderListing, MissingFolderOrFileGivesNothing) {
    const std::string home = home_.Path().utf8_string();
    ASSERT_TRUE(TempHome::WriteFile(home_.Path() + "/x.pdf", "x"));
    EXPECT_TRUE(kestran::ListFiles(home + "/missing", "*.pdf").empty());
    EXPECT_TRUE(kestran::ListFiles(home + "/x.pdf", "*.pdf").empty());
    EXPECT_TRUE(kestran::ListFiles("", "*.pdf").empty());
}

}  // namespace
