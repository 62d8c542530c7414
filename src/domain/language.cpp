#include "domain/language.h"

#include <algorithm>
#include <string>

#include <wx/ffile.h>
#include <wx/filename.h>
#include <wx/arrstr.h>
#include <wx/translation.h>
#include <wx/uilocale.h>

#include "common/app_util.h"
#include "common/string_util.h"

const std::vector<OfferedLanguage>& OfferedLanguages()
{
    static const std::vector<OfferedLanguage> languages = {
        {LanguageChineseSimplified, "\xe4\xb8\xad\xe6\x96\x87\xe7\xae\x80\xe4\xbd\x93", wxLANGUAGE_CHINESE_SIMPLIFIED,
         "zh_CN"},
        {LanguageChineseTraditional, "\xe4\xb8\xad\xe6\x96\x87\xe7\xb9\x81\xe4\xbd\x93", wxLANGUAGE_CHINESE_TRADITIONAL,
         "zh_TW"},
        {LanguageGerman, "Deutsch", wxLANGUAGE_GERMAN, "de de_DE"},
        {LanguageEnglish, "English", wxLANGUAGE_ENGLISH, "en en_GB"},
        {LanguageFrench, "Fran\xc3\xa7" "ais", wxLANGUAGE_FRENCH, "fr fr_FR"},
        {LanguageItalian, "Italiano", wxLANGUAGE_ITALIAN, "it it_IT"},
        {LanguageJapanese, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", wxLANGUAGE_JAPANESE, "ja ja_JP"},
    };
    return languages;
}

wxLanguage ToWxLanguage(int id)
{
    for (const OfferedLanguage& offered : OfferedLanguages())
        if (offered.id == id)
            return offered.language;
    return wxLANGUAGE_DEFAULT;
}

int LanguageIdOfLocale(const wxString& locale)
{
    // "ja_JP.UTF-8@euro" and "ja-JP" both name ja_JP.
    wxString tag = locale.BeforeFirst('.').BeforeFirst('@');
    tag.Replace("-", "_");
    for (const OfferedLanguage& offered : OfferedLanguages()) {
        const wxArrayString tags = wxSplit(offered.system_tags, ' ');
        for (const wxString& known : tags)
            if (tag == known)
                return offered.id;
    }
    return LanguageEnglish;
}

int SystemLanguageId()
{
    // The first preference decides, region included.
    const wxVector<wxString> preferred = wxUILocale::GetPreferredUILanguages();
    return preferred.empty() ? LanguageEnglish : LanguageIdOfLocale(preferred[0]);
}

namespace {
wxString g_catalogue_dir;
}  // namespace

wxString GetCatalogueDir()
{
    return g_catalogue_dir.empty() ? AppUtil::GetInstallDir() + "/Language" : g_catalogue_dir;
}

void SetCatalogueDir(const wxString& dir)
{
    g_catalogue_dir = dir;
}

int LoadLanguage()
{
    return LoadLanguage(AppUtil::GetLanguageFilePath());
}

int LoadLanguage(const wxString& path)
{
    if (wxFileName::FileExists(path)) {
        wxFFile file(path, "rb");
        char bytes[9] = {0};
        const size_t got = file.IsOpened() ? file.Read(bytes, 8) : 0;
        return StringUtil::ToInt(wxString(bytes, wxConvISO8859_1, got));
    }
    const int id = SystemLanguageId();
    SaveLanguage(path, id);
    return id;
}

void SaveLanguage(int id)
{
    SaveLanguage(AppUtil::GetLanguageFilePath(), id);
}

void SaveLanguage(const wxString& path, int id)
{
    wxFFile file(path, "wb");
    if (!file.IsOpened())
        return;
    const std::string digits = std::to_string(id);
    file.Write(digits.data(), digits.size());
}

void ApplyLanguage(int id, const wxString& catalogue_dir)
{
    // Look-up prefixes accumulate in wx and the first that has a catalogue
    // wins: each folder is added once.
    static std::vector<wxString> added;
    if (std::find(added.begin(), added.end(), catalogue_dir) == added.end()) {
        wxFileTranslationsLoader::AddCatalogLookupPathPrefix(catalogue_dir);
        added.push_back(catalogue_dir);
    }
    auto* translations = new wxTranslations;  // owned by wx once set
    translations->SetLanguage(ToWxLanguage(id));
    translations->AddStdCatalog();
    translations->AddCatalog("language");
    wxTranslations::Set(translations);
}
