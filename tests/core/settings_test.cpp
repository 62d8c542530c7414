// The settings file: first run, repair, positions, fallback, write-back.
#include <unistd.h>

#include <gtest/gtest.h>
#include <wx/dir.h>

#include "common/app_util.h"
#include "domain/convert_options.h"
#include "domain/domain_config.h"
#include "support/temp_home.h"

namespace {

const char kDefaultDocument[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<setting>\r\n"
    "   <last-convert-dir></last-convert-dir>\r\n"
    "   <last-output-dir></last-output-dir>\r\n"
    "</setting>\r\n";

class SettingsFile : public TempHomeTest {
protected:
    void SetUp() override {
        ConvertOptions.clear();
        docs_ = home_.MakeDocuments();
        path_ = AppUtil::GetSettingsFilePath();
        default_output_ = docs_ + "/Olvarin/Olvarin Kestran";
    }
    void TearDown() override { ConvertOptions.clear(); }

    static std::string Document(const std::string& first, const std::string& second) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<setting>\n  <last-convert-dir>" + first +
               "</last-convert-dir>\n  <last-output-dir>" + second + "</last-output-dir>\n</setting>\n";
    }

    wxString docs_;
    wxString path_;
    wxString default_output_;
};

TEST_F(SettingsFile, FirstRunWritesTheDefaultDocumentByteForByte) {
    ASSERT_FALSE(wxDir::Exists(default_output_));
    DomainConfig config(path_);
    EXPECT_EQ(TempHome::ReadFile(path_), kDefaultDocument);
    EXPECT_EQ(config.GetLastConvertDir(), "");
    EXPECT_EQ(config.GetLastOutputDir(), default_output_);
    EXPECT_TRUE(wxDir::Exists(default_output_));
    EXPECT_EQ(ConvertOptions[LAST_CONVERT_DIR], "");
    EXPECT_EQ(ConvertOptions[LAST_OUTPUT_DIR], default_output_);
    EXPECT_STREQ(DomainConfig::DefaultDocument(), kDefaultDocument);
}

TEST_F(SettingsFile, StoredFoldersAreLoadedIntoTheOptionTable) {
    const wxString in = home_.Path() + "/in", out = home_.Path() + "/out";
    ASSERT_TRUE(TempHome::MakeDirs(out));
    ASSERT_TRUE(TempHome::WriteFile(path_, Document(in.utf8_string(), out.utf8_string())));
    DomainConfig config(path_);
    EXPECT_EQ(config.GetLastConvertDir(), in);  // taken unchecked, although missing
    EXPECT_EQ(ConvertOptions[LAST_CONVERT_DIR], in);
    EXPECT_EQ(ConvertOptions[LAST_OUTPUT_DIR], out);
}

TEST_F(SettingsFile, ElementsCountByPositionNotByName) {
    const wxString out = home_.Path() + "/out";
    ASSERT_TRUE(TempHome::MakeDirs(out));
    ASSERT_TRUE(TempHome::WriteFile(
        path_, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><setting><a>/x/in</a><!-- note --><b>" +
                   out.utf8_string() + "</b><c>ignored</c></setting>"));
    DomainConfig config(path_);
    EXPECT_EQ(ConvertOptions[LAST_CONVERT_DIR], "/x/in");
    EXPECT_EQ(ConvertOptions[LAST_OUTPUT_DIR], out);
}

TEST_F(SettingsFile, DeletedOutputFolderFallsBackToTheDefault) {
    ASSERT_TRUE(TempHome::WriteFile(path_, Document("/x", (home_.Path() + "/gone").utf8_string())));
    DomainConfig config(path_);
    EXPECT_EQ(ConvertOptions[LAST_OUTPUT_DIR], default_output_);
}

TEST_F(SettingsFile, UnusableFilesAreReplacedByTheDefaultDocument) {
    const std::string broken[] = {
        "",
        "not xml at all",
        "<?xml version=\"1.0\"?><setting><only>/x</only></setting>",
        "<?xml version=\"1.0\"?><setting></setting>",
        "<?xml version=\"1.0\"?><setting><a>/x</a><b>/y</b>",
    };
    for (const std::string& text : broken) {
        ConvertOptions.clear();
        ASSERT_TRUE(TempHome::WriteFile(path_, text));
        DomainConfig config(path_);
        EXPECT_EQ(TempHome::ReadFile(path_), kDefaultDocument) << text;
        EXPECT_EQ(ConvertOptions[LAST_CONVERT_DIR], "") << text;
        EXPECT_EQ(ConvertOptions[LAST_OUTPUT_DIR], default_output_) << text;
    }
}

TEST_F(SettingsFile, DestructionWritesBothFoldersBack) {
    const wxString out = home_.Path() + "/out", in = home_.Path() + "/in";
    ASSERT_TRUE(TempHome::MakeDirs(out));
    ASSERT_TRUE(TempHome::MakeDirs(in));
    {
        DomainConfig config(path_);
        ConvertOptions[LAST_OUTPUT_DIR] = out;
        config.SetLastConvertDir(in);
    }
    ConvertOptions.clear();
    DomainConfig again(path_);
    EXPECT_EQ(again.GetLastConvertDir(), in);
    EXPECT_EQ(ConvertOptions[LAST_OUTPUT_DIR], out);
    // The toolkit's own output, two blanks per level.
    EXPECT_NE(TempHome::ReadFile(path_).find("\n  <last-output-dir>" + out.utf8_string() + "</last-output-dir>"),
              std::string::npos)
        << TempHome::ReadFile(path_);
}

TEST_F(SettingsFile, OnlyAFolderIsStoredAsTheLastInputFolder) {
    const wxString in = home_.Path() + "/pdfs";
    ASSERT_TRUE(TempHome::MakeDirs(in));
    ASSERT_TRUE(TempHome::WriteFile(in + "/a.pdf", "x"));
    ASSERT_TRUE(TempHome::WriteFile(in + "/b.pdf", "x"));
    DomainConfig config(path_);

    config.SetLastConvertDir(in + "/a.pdf|" + in + "/b.pdf|");
    EXPECT_EQ(config.GetLastConvertDir(), in);
    config.SetLastConvertDir(in + "/b.pdf");
    EXPECT_EQ(config.GetLastConvertDir(), in);
    config.SetLastConvertDir(in + "/");
    EXPECT_EQ(config.GetLastConvertDir(), in);

    // Whoever wrote the table, the saved value is a folder.
    ConvertOptions[LAST_CONVERT_DIR] = in + "/a.pdf|" + in + "/b.pdf|";
    ASSERT_TRUE(config.Save());
    EXPECT_NE(TempHome::ReadFile(path_).find(">" + in.utf8_string() + "</last-convert-dir>"), std::string::npos);
    EXPECT_EQ(TempHome::ReadFile(path_).find('|'), std::string::npos);
}

TEST_F(SettingsFile, SavingKeepsFurtherElementsAndFillsEmptyOnes) {
    ASSERT_TRUE(TempHome::WriteFile(
        path_, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><setting><a/><b></b><extra>keep</extra></setting>"));
    DomainConfig config(path_);
    ConvertOptions[LAST_CONVERT_DIR] = home_.Path();
    ASSERT_TRUE(config.Save());
    const std::string text = TempHome::ReadFile(path_);
    EXPECT_NE(text.find("<a>" + home_.Path().utf8_string() + "</a>"), std::string::npos) << text;
    EXPECT_NE(text.find("<b>" + default_output_.utf8_string() + "</b>"), std::string::npos) << text;
    EXPECT_NE(text.find("<extra>keep</extra>"), std::string::npos) << text;
}

TEST_F(SettingsFile, NamedValuesAreKeptAcrossRunsBesideUnknownElements) {
    ASSERT_TRUE(TempHome::WriteFile(path_, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><setting><a/><b/>"
                                           "<extra>keep</extra><min-size>32</min-size></setting>"));
    {
        DomainConfig config(path_);
        EXPECT_EQ(config.GetNumber("min-size", 0), 32);
        EXPECT_EQ(config.GetNumber("skip-flat", 7), 7);
        config.SetValue("min-size", "64");
        config.SetValue("window-position", "10,<20>");
    }
    DomainConfig again(path_);
    EXPECT_EQ(again.GetNumber("min-size", 0), 64);
    EXPECT_EQ(again.GetValue("window-position"), "10,<20>");
    EXPECT_EQ(again.GetValue("extra"), "keep");
}

TEST_F(SettingsFile, MarkupInFolderNamesSurvivesTheRoundTrip) {
    const wxString odd = home_.Path() + wxString::FromUTF8("/a&b <c> \"ü\"");
    ASSERT_TRUE(TempHome::MakeDirs(odd));
    {
        DomainConfig config(path_);
        ConvertOptions[LAST_OUTPUT_DIR] = odd;
        ConvertOptions[LAST_CONVERT_DIR] = odd;
    }
    ConvertOptions.clear();
    DomainConfig again(path_);
    EXPECT_EQ(ConvertOptions[LAST_OUTPUT_DIR], odd);
    EXPECT_EQ(ConvertOptions[LAST_CONVERT_DIR], odd);
}

TEST_F(SettingsFile, FailedSaveKeepsTheOldFile) {
    DomainConfig config(path_);
    const std::string before = TempHome::ReadFile(path_);
    const wxString folder = AppUtil::ParentDir(path_);
    ASSERT_EQ(chmod(folder.utf8_str(), 0555), 0);
    // Root writes into read-only folders; there the failure cannot be provoked.
    const bool writable = access(folder.utf8_str(), W_OK) == 0;
    if (!writable) {
        ConvertOptions[LAST_CONVERT_DIR] = "/somewhere/else";
        EXPECT_FALSE(config.Save());
    }
    chmod(folder.utf8_str(), 0755);
    if (writable)
        GTEST_SKIP() << "running with rights that ignore folder permissions";
    EXPECT_EQ(TempHome::ReadFile(path_), before);
}

TEST_F(SettingsFile, CreateDefaultLeavesAnExistingFileUnlessForced) {
    DomainConfig config(path_);
    ASSERT_TRUE(TempHome::WriteFile(path_, "mine"));
    EXPECT_FALSE(config.IsValid());
    EXPECT_FALSE(config.CreateDefault(false));
    EXPECT_EQ(TempHome::ReadFile(path_), "mine");
    EXPECT_TRUE(config.CreateDefault(true));
    EXPECT_EQ(TempHome::ReadFile(path_), kDefaultDocument);
    EXPECT_TRUE(config.IsValid());
}

TEST_F(SettingsFile, ProxyStartsAsHttpAndIsNotKeptAcrossRuns) {
    {
        DomainConfig config(path_);
        const DomainConfig::ProxySettings fresh = config.GetProxy();
        EXPECT_EQ(fresh.type, "HTTP");
        EXPECT_EQ(fresh.address + fresh.port + fresh.user + fresh.password, "");
        DomainConfig::ProxySettings proxy;
        proxy.type = "SOCKS5";
        proxy.address = "proxy.example.com";
        proxy.port = "1080";
        proxy.user = "u";
        proxy.password = "p";
        config.SetProxy(proxy);
        EXPECT_EQ(config.GetProxy().address, "proxy.example.com");
        EXPECT_EQ(config.GetProxy().type, "SOCKS5");
    }
    DomainConfig again(path_);
    EXPECT_EQ(again.GetProxy().type, "HTTP");
    EXPECT_EQ(again.GetProxy().address, "");
    EXPECT_EQ(TempHome::ReadFile(path_).find("proxy"), std::string::npos);
}

TEST(ConvertOptionTable, ReadingAnAbsentKeyInsertsAnEmptyText) {
    ConvertOptions.clear();
    EXPECT_EQ(ConvertOptions.count(OUTPUT_TYPE), 0u);
    EXPECT_EQ(ConvertOptions[OUTPUT_TYPE], "");
    EXPECT_EQ(ConvertOptions.count(OUTPUT_TYPE), 1u);
    ConvertOptions[STATUS_COLUMN] = "5";
    const ConvertOptionMap copy = ConvertOptions;  // what a job works on
    ConvertOptions[STATUS_COLUMN] = "6";
    EXPECT_EQ(copy.at(STATUS_COLUMN), "5");
    ConvertOptions.clear();
}

}  // namespace
