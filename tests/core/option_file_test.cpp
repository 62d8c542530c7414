// The option file and the URL table it fills.
#include <gtest/gtest.h>

#include "domain/domain_option.h"
#include "support/temp_home.h"

namespace {

class OptionFile : public TempHomeTest {
protected:
    void SetUp() override { DomainOption::Clear(); }
    void TearDown() override { DomainOption::Clear(); }

    // Loads `body` as the content of /setting/url.
    bool LoadUrl(const std::string& body, wxString* error = nullptr) {
        return LoadText("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<setting><url>" + body + "</url></setting>\n",
                        error);
    }
    bool LoadText(const std::string& text, wxString* error = nullptr) {
        const wxString path = home_.Path() + "/option.cfg";
        EXPECT_TRUE(TempHome::WriteFile(path, text));
        return DomainOption().LoadFrom(path, error);
    }
};

TEST_F(OptionFile, UpdateStemGetsTheSuffix) {
    ASSERT_TRUE(LoadUrl("<update>http://u.example.com/k/KESTRAN</update><help> http://h </help>"));
    EXPECT_EQ(DomainOption::GetUrl("url:update"), "http://u.example.com/k/KESTRAN-update.xml");
    EXPECT_EQ(DomainOption::GetUrl("url:help"), " http://h ");  // text taken as it is
}

TEST_F(OptionFile, MissingUpdateElementLeavesTheSuffixAlone) {
    ASSERT_TRUE(LoadUrl("<help>h</help>"));
    EXPECT_EQ(DomainOption::GetUrl("url:update"), "-update.xml");
}

TEST_F(OptionFile, LaterDuplicateWins) {
    ASSERT_TRUE(LoadUrl("<help>first</help><help>second</help>"));
    EXPECT_EQ(DomainOption::GetUrl("url:help"), "second");
}

TEST_F(OptionFile, CommentsAndProcessingInstructionsBecomeKeysOfTheirNodeName) {
    ASSERT_TRUE(LoadUrl("<!--a note--><?pi data?><help>h</help>"));
    EXPECT_EQ(DomainOption::GetUrl("url:comment"), "a note");
    EXPECT_EQ(DomainOption::GetUrl("url:pi"), "data");
    EXPECT_EQ(DomainOption::GetUrl("url:help"), "h");
}

TEST_F(OptionFile, NestedTextIsConcatenated) {
    ASSERT_TRUE(LoadUrl("<support>http://<b>s.example.com</b>/<i>x<![CDATA[&y]]></i></support>"));
    EXPECT_EQ(DomainOption::GetUrl("url:support"), "http://s.example.com/x&y");
}

TEST_F(OptionFile, MissingKeysReadEmptyWithoutBeingAdded) {
    ASSERT_TRUE(LoadUrl("<help>h</help>"));
    EXPECT_EQ(DomainOption::GetUrl("url:product"), "");
    EXPECT_EQ(DomainOption::GetUrl("help"), "");  // keys are spelled in full
    EXPECT_EQ(DomainOption::GetUrl("url:product"), "");
}

TEST_F(OptionFile, OnlyTheFirstUrlElementCounts) {
    ASSERT_TRUE(LoadText("<setting><url><help>one</help></url><url><help>two</help><x>y</x></url></setting>"));
    EXPECT_EQ(DomainOption::GetUrl("url:help"), "one");
    EXPECT_EQ(DomainOption::GetUrl("url:x"), "");
}

TEST_F(OptionFile, Utf8TextAndOtherEncodings) {
    ASSERT_TRUE(LoadUrl("<help>http://example.com/\xC3\xBC</help>"));
    EXPECT_EQ(DomainOption::GetUrl("url:help"), wxString::FromUTF8("http://example.com/\xC3\xBC"));
    ASSERT_TRUE(LoadText("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><setting><url><help>\xFC</help></url></setting>"));
    EXPECT_EQ(DomainOption::GetUrl("url:help"), wxString::FromUTF8("\xC3\xBC"));
}

TEST_F(OptionFile, LoadingAgainReplacesTheTable) {
    ASSERT_TRUE(LoadUrl("<update>a</update><help>h</help>"));
    ASSERT_TRUE(LoadUrl("<update>b</update>"));
    EXPECT_EQ(DomainOption::GetUrl("url:update"), "b-update.xml");
    EXPECT_EQ(DomainOption::GetUrl("url:help"), "");
}

struct BadFile {
    const char* name;
    const char* text;  // nullptr: no file at all
};

void PrintTo(const BadFile& c, std::ostream* os) { *os << c.name; }

class UnusableOptionFile : public OptionFile, public ::testing::WithParamInterface<BadFile> {};

TEST_P(UnusableOptionFile, FailsWithAMessageNamingTheFile) {
    const wxString path = home_.Path() + "/option.cfg";
    if (GetParam().text) {
        ASSERT_TRUE(TempHome::WriteFile(path, GetParam().text));
    }
    wxString error;
    EXPECT_FALSE(DomainOption().LoadFrom(path, &error));
    EXPECT_TRUE(error.Contains(path)) << error;
    EXPECT_FALSE(DomainOption().LoadFrom(path));  // without a message holder too
}

INSTANTIATE_TEST_SUITE_P(
    OptionFile, UnusableOptionFile,
    ::testing::Values(BadFile{"missing", nullptr}, BadFile{"empty", ""},
                      BadFile{"not_xml", "url=http://x"},
                      BadFile{"unclosed", "<setting><url><help>h</help></url>"},
                      BadFile{"other_root", "<options><url><help>h</help></url></options>"},
                      BadFile{"no_url", "<setting><help>h</help></setting>"},
                      BadFile{"nested_url", "<setting><x><url><help>h</help></url></x></setting>"}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return std::string(info.param.name); });

TEST_F(OptionFile, EntitiesAreNotExpanded) {
    const wxString secret = home_.Path() + "/secret.txt";
    ASSERT_TRUE(TempHome::WriteFile(secret, "SECRET"));
    const std::string text = "<?xml version=\"1.0\"?>\n"
                             "<!DOCTYPE setting [\n"
                             "  <!ENTITY file SYSTEM \"file://" + secret.utf8_string() + "\">\n"
                             "  <!ENTITY a \"aaaaaaaaaa\">\n"
                             "]>\n"
                             "<setting><url><help>x&file;y</help><support>&a;</support>"
                             "<product>&amp;&#65;</product></url></setting>\n";
    wxString error;
    ASSERT_TRUE(LoadText(text, &error)) << error;
    EXPECT_EQ(DomainOption::GetUrl("url:help"), "xy");  // the local file is not read
    EXPECT_EQ(DomainOption::GetUrl("url:support"), "");
    EXPECT_EQ(DomainOption::GetUrl("url:product"), "&A");  // predefined and character references stay
}

TEST_F(OptionFile, NestedEntityBombIsRefusedOrLeftUnexpanded) {
    std::string text = "<?xml version=\"1.0\"?>\n<!DOCTYPE setting [\n  <!ENTITY e0 \"ha\">\n";
    for (int i = 1; i <= 9; ++i) {
        text += "  <!ENTITY e" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            text += "&e" + std::to_string(i - 1) + ";";
        text += "\">\n";
    }
    text += "]>\n<setting><url><help>&e9;</help></url></setting>\n";
    wxString error;
    if (LoadText(text, &error))
        EXPECT_EQ(DomainOption::GetUrl("url:help"), "");
    else
        EXPECT_TRUE(error.Contains("option.cfg")) << error;
}

TEST_F(OptionFile, ExternalDtdIsNotFetched) {
    // A DTD on an address that would hang or fail: with no network access and
    // no DTD loading the file simply loads.
    ASSERT_TRUE(LoadText("<?xml version=\"1.0\"?>\n"
                         "<!DOCTYPE setting SYSTEM \"http://192.0.2.1/never.dtd\">\n"
                         "<setting><url><help>h</help></url></setting>\n"));
    EXPECT_EQ(DomainOption::GetUrl("url:help"), "h");
}

TEST_F(OptionFile, ShippedFileHasTheFourAddresses) {
    ASSERT_TRUE(DomainOption().LoadFrom(KESTRAN_SOURCE_DIR "/data/option.cfg"));
    for (const char* key : {"url:update", "url:help", "url:support", "url:product"})
        EXPECT_TRUE(DomainOption::GetUrl(key).StartsWith("http")) << key;
    EXPECT_TRUE(DomainOption::GetUrl("url:update").EndsWith("-update.xml"));
}

}  // namespace
