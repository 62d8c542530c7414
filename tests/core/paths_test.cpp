// Where the program finds its installation and keeps its per-user files.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <wx/dir.h>
#include <wx/filename.h>
#include <wx/utils.h>

#include "common/app_util.h"
#include "common/file_util.h"
#include "common/string_util.h"
#include "common/user_folders.h"
#include "support/temp_home.h"

namespace {

struct ExeCase {
    const char* exe_path;
    const char* exe_dir;
    const char* install_dir;
};

void PrintTo(const ExeCase& c, std::ostream* os) { *os << '"' << c.exe_path << '"'; }

class ExecutablePathTest : public ::testing::TestWithParam<ExeCase> {};

TEST_P(ExecutablePathTest, DerivesExecutableAndInstallFolders) {
    const ExeCase& c = GetParam();
    const wxString exe_dir = AppUtil::ExeDirFromPath(c.exe_path);
    EXPECT_EQ(exe_dir, c.exe_dir) << c.exe_path;
    EXPECT_EQ(AppUtil::ParentDir(exe_dir), c.install_dir) << c.exe_path;
}

INSTANTIATE_TEST_SUITE_P(
    AppPaths, ExecutablePathTest,
    ::testing::Values(ExeCase{"/opt/kestran/bin/kestran", "/opt/kestran/bin", "/opt/kestran"},
                      // A backslash is part of a name, never a separator.
                      ExeCase{"/opt/a\\b/bin/kestran", "/opt/a\\b/bin", "/opt/a\\b"},
                      ExeCase{"/usr/local/bin\\kestran", "/usr/local", "/usr"},
                      ExeCase{"C:\\A\\bin\\app.exe", "", ""},
                      ExeCase{"/kestran", "", ""},
                      ExeCase{"kestran", "", ""}));

// The folder of this very test binary, resolved without any help from AppUtil.
wxString RealExeDir() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0)
        return wxString();
    buffer[n] = '\0';
    return AppUtil::ParentDir(wxString::FromUTF8(buffer));
}

TEST(AppPaths, ExecutableFolderIsTheRealOne) {
    EXPECT_EQ(AppUtil::GetExeDir(), RealExeDir());
    EXPECT_EQ(AppUtil::GetInstallDir(), AppUtil::ParentDir(RealExeDir()));
    EXPECT_EQ(AppUtil::GetOptionFilePath(), AppUtil::ParentDir(RealExeDir()) + "/option.cfg");
}

// The staged tree (build/stage) and an FHS installation, told apart by
// <prefix>/share/kestran; the configuration of the prefix /usr is in /etc.
TEST_F(TempHomeTest, StagedAndInstalledLayoutsFindTheirData) {
    const std::string root = home_.Path().utf8_string();
    ASSERT_TRUE(TempHome::MakeDirs(home_.Path() + "/stage/bin"));
    ASSERT_TRUE(TempHome::MakeDirs(home_.Path() + "/prefix/bin"));
    ASSERT_TRUE(TempHome::MakeDirs(home_.Path() + "/prefix/share/kestran/Themes"));

    const kestran::InstallLayout staged = kestran::LayoutForExeDir(root + "/stage/bin");
    EXPECT_EQ(staged.data_dir, root + "/stage");
    EXPECT_EQ(staged.option_file, root + "/stage/option.cfg");
    const kestran::InstallLayout installed = kestran::LayoutForExeDir(root + "/prefix/bin");
    EXPECT_EQ(installed.data_dir, root + "/prefix/share/kestran");
    EXPECT_EQ(installed.option_file, root + "/prefix/etc/kestran/option.cfg");
    EXPECT_EQ(staged.icon_dir, root + "/stage/share/icons/hicolor");
    EXPECT_EQ(installed.icon_dir, root + "/prefix/share/icons/hicolor");

    for (const auto& [prefix, config] : {std::pair<std::string, std::string>{"/usr", "/etc/kestran"},
                                         {"/usr/", "/etc/kestran"},
                                         {"/usr/local", "/usr/local/etc/kestran"},
                                         {"/opt/usr", "/opt/usr/etc/kestran"}})
        EXPECT_EQ(kestran::ConfigDirForPrefix(prefix), config) << prefix;
}

// Helper run as a child process (see the next test): writes GetExeDir() into
// the file named by KESTRAN_EXE_DIR_OUT. Does nothing in a normal run.
TEST(AppPaths, ChildWritesExeDir) {
    const char* out = std::getenv("KESTRAN_EXE_DIR_OUT");
    if (!out)
        GTEST_SKIP() << "only runs as the child of SymlinkAndRelativeStartFindTheInstallation";
    ASSERT_TRUE(TempHome::WriteFile(wxString::FromUTF8(out), AppUtil::GetExeDir().utf8_string()));
}

TEST_F(TempHomeTest, SymlinkAndRelativeStartFindTheInstallation) {
    if (std::getenv("KESTRAN_EXE_DIR_OUT"))
        GTEST_SKIP() << "already the child";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';

    const wxString links = home_.Path() + "/links";
    ASSERT_TRUE(TempHome::MakeDirs(links));
    ASSERT_EQ(symlink(self, (links + "/kestran").utf8_str()), 0);

    const wxString out = home_.Path() + "/exe_dir.txt";
    // Start through the link by a relative path from another working folder.
    const std::string command = "cd '" + links.utf8_string() + "' && KESTRAN_EXE_DIR_OUT='" +
                                out.utf8_string() +
                                "' ./kestran --gtest_filter=AppPaths.ChildWritesExeDir >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(wxString::FromUTF8(TempHome::ReadFile(out)), RealExeDir());
}

TEST(AppIdentity, TextsOfTheProduct) {
    EXPECT_EQ(AppUtil::GetVendorName(), "Olvarin");
    EXPECT_EQ(AppUtil::GetProductId(), "KESTRAN");
    EXPECT_EQ(AppUtil::GetVersion(), KESTRAN_VERSION);  // one version: the project's in CMake
    EXPECT_EQ(AppUtil::GetProductName(), "Olvarin Kestran");
}

TEST(AppIdentity, BuildYearIsTheLastWordOfTheDate) {
    EXPECT_EQ(StringUtil::YearOfDate("May 22 2014"), "2014");
    EXPECT_EQ(StringUtil::YearOfDate("Dec  7 2026"), "2026");
    const std::string year = StringUtil::GetBuildYear();
    ASSERT_EQ(year.size(), 4u);
    EXPECT_EQ(year, StringUtil::YearOfDate(__DATE__));
}

using DocumentsFolder = TempHomeTest;

TEST_F(DocumentsFolder, WithoutXdgConfigurationIsHomeDocuments) {
    EXPECT_EQ(AppUtil::GetDocumentsDir(), home_.Path() + "/Documents");
    home_.MakeDocuments();
    EXPECT_EQ(AppUtil::GetDocumentsDir(), home_.Path() + "/Documents");
}

TEST_F(DocumentsFolder, ConfiguredXdgFolderIsUsedWhenItExists) {
    home_.WriteUserDirs("$HOME/Dokumente");
    // Missing: the configured folder is not used.
    EXPECT_EQ(AppUtil::GetDocumentsDir(), home_.Path() + "/Documents");
    ASSERT_TRUE(TempHome::MakeDirs(home_.Path() + "/Dokumente"));
    EXPECT_EQ(AppUtil::GetDocumentsDir(), home_.Path() + "/Dokumente");
}

TEST_F(DocumentsFolder, HomeWithABackslashIsKept) {
    const wxString home = home_.Path() + "/me\\home";  // TempHome restores HOME
    ASSERT_EQ(setenv("HOME", home.utf8_str(), 1), 0);
    EXPECT_EQ(AppUtil::GetDocumentsDir(), home + "/Documents");
}

TEST_F(DocumentsFolder, XdgFolderSetToHomeItselfFallsBackToDocuments) {
    home_.WriteUserDirs("$HOME/");
    EXPECT_EQ(AppUtil::GetDocumentsDir(), home_.Path() + "/Documents");
}

TEST_F(DocumentsFolder, NameWithBlanksIsReadWhole) {
    ASSERT_TRUE(TempHome::MakeDirs(home_.Path() + "/Mes documents"));
    home_.WriteUserDirs("$HOME/Mes documents");
    EXPECT_EQ(AppUtil::GetDocumentsDir(), home_.Path() + "/Mes documents");
    EXPECT_EQ(AppUtil::GetDefaultOutputDir(), home_.Path() + "/Mes documents/Olvarin/Olvarin Kestran");
}

TEST_F(DocumentsFolder, XdgConfigHomeNamesTheConfigurationFolder) {
    ASSERT_TRUE(TempHome::MakeDirs(home_.Path() + "/cfg"));
    ASSERT_TRUE(TempHome::MakeDirs(home_.Path() + "/Elsewhere"));
    ASSERT_TRUE(TempHome::MakeDirs(home_.Path() + "/Ignored"));
    ASSERT_TRUE(TempHome::WriteFile(home_.Path() + "/cfg/user-dirs.dirs",
                                    "# written by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/Elsewhere\"\n"));
    home_.WriteUserDirs("$HOME/Ignored");  // ~/.config is not read while XDG_CONFIG_HOME is set
    setenv("XDG_CONFIG_HOME", (home_.Path() + "/cfg").utf8_str(), 1);
    EXPECT_EQ(AppUtil::GetDocumentsDir(), home_.Path() + "/Elsewhere");
    // An empty value counts as unset: back to ~/.config.
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(AppUtil::GetDocumentsDir(), home_.Path() + "/Ignored");
}

TEST_F(DocumentsFolder, OnlyTheFirstDocumentsLineCounts) {
    ASSERT_TRUE(TempHome::MakeDirs(home_.Path() + "/Second"));
    ASSERT_TRUE(TempHome::MakeDirs(home_.Path() + "/.config"));
    ASSERT_TRUE(TempHome::WriteFile(home_.Path() + "/.config/user-dirs.dirs",
                                    "XDG_DESKTOP_DIR=\"$HOME/Second\"\n"
                                    "XDG_DOCUMENTS_DIR=\"$HOME/Missing\"\n"
                                    "XDG_DOCUMENTS_DIR=\"$HOME/Second\"\n"));
    EXPECT_EQ(AppUtil::GetDocumentsDir(), home_.Path() + "/Documents");
}

using UserFolders = TempHomeTest;

TEST_F(UserFolders, AreBuiltBelowDocumentsAndCreated) {
    const wxString docs = home_.MakeDocuments();
    EXPECT_EQ(AppUtil::GetDefaultOutputDir(), docs + "/Olvarin/Olvarin Kestran");
    EXPECT_EQ(AppUtil::GetUserDataDir(), docs + "/Olvarin files/Olvarin Kestran");
    EXPECT_EQ(AppUtil::GetSettingsFilePath(), docs + "/Olvarin files/Olvarin Kestran/KESTRAN.cfg");
    EXPECT_EQ(AppUtil::GetLanguageFilePath(), docs + "/Olvarin files/Olvarin Kestran/language.txt");
    EXPECT_TRUE(wxDir::Exists(docs + "/Olvarin/Olvarin Kestran"));
    EXPECT_TRUE(wxDir::Exists(docs + "/Olvarin files/Olvarin Kestran"));
}

TEST_F(UserFolders, MissingDocumentsFolderIsCreatedOnAFreshAccount) {
    ASSERT_FALSE(wxDir::Exists(home_.Path() + "/Documents"));
    const wxString data = AppUtil::GetUserDataDir();
    EXPECT_TRUE(wxDir::Exists(data)) << data;
}

TEST_F(UserFolders, SuffixIsAppendedToTheVendorWithoutSeparator) {
    const wxString docs = home_.MakeDocuments();
    EXPECT_EQ(AppUtil::GetUserDocDir("-x"), docs + "/Olvarin-x/Olvarin Kestran");
}

TEST_F(UserFolders, BackslashInTheDocumentsFolderIsKept) {
    const wxString docs = home_.Path() + "/my\\docs";
    EXPECT_EQ(AppUtil::BuildUserDocDir(docs, " files"), docs + "/Olvarin files/Olvarin Kestran");
    EXPECT_TRUE(wxDir::Exists(docs + "/Olvarin files/Olvarin Kestran"));
    EXPECT_FALSE(wxDir::Exists(home_.Path() + "/my"));
}

TEST_F(UserFolders, UnreachableDocumentsStillGivesThePath) {
    // Below a regular file nothing can be created; the path still comes back.
    const wxString blocker = home_.Path() + "/file";
    ASSERT_TRUE(TempHome::WriteFile(blocker, "x"));
    EXPECT_EQ(AppUtil::BuildUserDocDir(blocker + "/Documents", ""),
              blocker + "/Documents/Olvarin/Olvarin Kestran");
    EXPECT_FALSE(wxDir::Exists(blocker + "/Documents"));
}

}  // namespace
