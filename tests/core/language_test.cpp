// The language file, the first-start choice, the catalogues and what a
// language must never change (how numbers are read and written).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <wx/translation.h>

#include "common/file_util.h"
#include "domain/language.h"
#include "domain/page_range.h"
#include "support/temp_home.h"

namespace {

// Sets environment variables for the scope, then puts them back.
class ScopedEnv {
public:
    ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> values)
    {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            saved_.push_back({name, old != nullptr ? std::optional<std::string>(old) : std::nullopt});
            if (value != nullptr)
                setenv(name, value, 1);
            else
                unsetenv(name);
        }
    }
    ~ScopedEnv()
    {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

struct FirstStartCase {
    const char* language;  // LANGUAGE
    const char* lang;      // LANG
    int expected;
};

void PrintTo(const FirstStartCase& c, std::ostream* os) { *os << (c.language ? c.language : "") << "/" << c.lang; }

class FirstStart : public TempHomeTest, public ::testing::WithParamInterface<FirstStartCase> {};

TEST_P(FirstStart, PicksTheSystemsLanguageWhenOfferedAndSavesIt)
{
    const FirstStartCase& c = GetParam();
    ScopedEnv env({{"LANGUAGE", c.language}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", c.lang}});
    const wxString file = home_.Path() + "/language.txt";
    EXPECT_EQ(LoadLanguage(file), c.expected);
    EXPECT_EQ(TempHome::ReadFile(file), std::to_string(c.expected)) << "digits only, no line end";
    EXPECT_EQ(LoadLanguage(file), c.expected) << "read back from the file";
}

INSTANTIATE_TEST_SUITE_P(Environments, FirstStart,
                         ::testing::Values(FirstStartCase{"ja", "ja_JP.UTF-8", 112},
                                           FirstStartCase{nullptr, "ja_JP.UTF-8", 112},
                                           FirstStartCase{nullptr, "de_DE.UTF-8", 89},
                                           FirstStartCase{nullptr, "de_AT.UTF-8", 58},
                                           FirstStartCase{"zh_TW", "zh_TW.UTF-8", 47},
                                           FirstStartCase{nullptr, "zh_CN.UTF-8", 46},
                                           FirstStartCase{nullptr, "fr_FR.UTF-8", 80},
                                           FirstStartCase{nullptr, "es_ES.UTF-8", 58},
                                           FirstStartCase{nullptr, "C", 58}));

TEST_F(TempHomeTest, LanguageFileIsReadLikeANumberFromItsFirstEightBytes)
{
    const wxString file = home_.Path() + "/language.txt";
    struct Case {
        std::string bytes;
        int expected;
    };
    const Case cases[] = {
        {"58", 58},           {"89abcdefghij", 89}, {"  110\n", 110}, {"garbage", 0},
        {"", 0},              {"00000004600", 4},  // only 8 bytes count: "00000004"
        {"-47", -47},         {"112", 112},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(TempHome::WriteFile(file, c.bytes));
        EXPECT_EQ(LoadLanguage(file), c.expected) << "\"" << c.bytes << "\"";
    }
    SaveLanguage(file, 110);
    EXPECT_EQ(TempHome::ReadFile(file), "110");
}

// ---------------------------------------------------------------------------
// The catalogues

// The msgids of a .po or .pot file, with C escapes resolved.
std::vector<std::string> MsgIds(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> ids;
    std::string line, current;
    bool in_id = false;
    const auto unquote = [](const std::string& quoted) {
        std::string out;
        for (size_t i = 1; i + 1 < quoted.size(); ++i) {
            if (quoted[i] == '\\' && i + 2 < quoted.size()) {
                const char e = quoted[++i];
                out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            } else {
                out += quoted[i];
            }
        }
        return out;
    };
    while (std::getline(in, line)) {
        if (line.rfind("msgid ", 0) == 0) {
            in_id = true;
            current = unquote(line.substr(6));
        } else if (in_id && !line.empty() && line[0] == '"') {
            current += unquote(line);
        } else if (in_id) {
            if (!current.empty())
                ids.push_back(current);
            in_id = false;
        }
    }
    return ids;
}

// The printf conversions of a text, in order.
std::vector<std::string> Conversions(const std::string& text)
{
    static const std::regex conversion("%[-+ #0]*[0-9]*(\\.[0-9]+)?[sdiuxXfgc%]");
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), conversion); it != std::sregex_iterator(); ++it)
        found.push_back(it->str());
    return found;
}

const std::string kPot = KESTRAN_SOURCE_DIR "/data/po/language.pot";

TEST(Catalogues, TemplateHoldsEveryTextTheSourcesTranslate)
{
    // The same extraction the build offers (target kestran_pot), into a scratch file.
    const std::string scratch = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/kestran-pot-" +
                                std::to_string(getpid()) + ".pot";
    const std::string command = "cmake -DXGETTEXT=xgettext -DSOURCE_DIR=" KESTRAN_SOURCE_DIR " -DOUTPUT=" + scratch +
                                " -P " KESTRAN_SOURCE_DIR "/data/po/extract.cmake";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_EQ(MsgIds(scratch), MsgIds(kPot)) << "refresh data/po/language.pot: cmake --build build --target kestran_pot";
    std::remove(scratch.c_str());
}

struct CatalogueCase {
    const char* name;
    wxLanguage language;
};

void PrintTo(const CatalogueCase& c, std::ostream* os) { *os << c.name; }

class Catalogue : public ::testing::TestWithParam<CatalogueCase> {};

TEST_P(Catalogue, TranslatesEveryTextWithTheSameConversions)
{
    const std::vector<std::string> ids = MsgIds(kPot);
    ASSERT_GT(ids.size(), 50u);
    wxFileTranslationsLoader::AddCatalogLookupPathPrefix(wxString(KESTRAN_STAGE_DIR) + "/Language");
    wxTranslations translations;
    translations.SetLanguage(GetParam().language);
    ASSERT_TRUE(translations.AddCatalog("language")) << "no catalogue " << GetParam().name << " in the staged tree";
    for (const std::string& id : ids) {
        const wxString* translated = translations.GetTranslatedString(wxString::FromUTF8(id), "language");
        ASSERT_NE(translated, nullptr) << "untranslated: " << id;
        EXPECT_FALSE(translated->empty()) << id;
        EXPECT_EQ(Conversions(translated->utf8_string()), Conversions(id)) << id;
    }
}

INSTANTIATE_TEST_SUITE_P(SixLanguages, Catalogue,
                         ::testing::Values(CatalogueCase{"de", wxLANGUAGE_GERMAN}, CatalogueCase{"fr", wxLANGUAGE_FRENCH},
                                           CatalogueCase{"it", wxLANGUAGE_ITALIAN},
                                           CatalogueCase{"ja", wxLANGUAGE_JAPANESE},
                                           CatalogueCase{"zh_CN", wxLANGUAGE_CHINESE_SIMPLIFIED},
                                           CatalogueCase{"zh_TW", wxLANGUAGE_CHINESE_TRADITIONAL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Catalogues, ALanguageNeverChangesHowNumbersAreReadOrWritten)
{
    for (const OfferedLanguage& offered : OfferedLanguages()) {
        ApplyLanguage(offered.id, wxString(KESTRAN_STAGE_DIR) + "/Language");
        EXPECT_EQ(wxString::Format("%.1f", 1.5), "1.5") << offered.label;
        EXPECT_EQ(FileUtil::FormatSize(1536), "1.5KB") << offered.label;
        EXPECT_EQ(std::strtod("2.5", nullptr), 2.5) << offered.label;
        EXPECT_EQ(ValidatePageRange(" 1,3-5", 9), "1,3-5") << offered.label;
    }
    // Texts do change: German is in effect after choosing it.
    ApplyLanguage(LanguageGerman, wxString(KESTRAN_STAGE_DIR) + "/Language");
    EXPECT_NE(wxGetTranslation("Add Folder"), "Add Folder");
    ApplyLanguage(LanguageEnglish, wxString(KESTRAN_STAGE_DIR) + "/Language");
    EXPECT_EQ(wxGetTranslation("Add Folder"), "Add Folder");
}

}  // namespace
