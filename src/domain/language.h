// The language of the user interface: which one the user chose (kept in
// language.txt as the identifier numbers the file has always held), the
// seven offered, and the catalogues that translate the texts.
//
// The file's numbers are those of the toolkit generation the program was
// first written for; wx 3.2 numbers its languages differently, so the two
// are mapped here and nowhere else.
#ifndef KESTRAN_DOMAIN_LANGUAGE_H
#define KESTRAN_DOMAIN_LANGUAGE_H

#include <vector>

#include <wx/language.h>
#include <wx/string.h>

// The identifiers of the language file and of the Language menu.
enum LanguageId : int {
    LanguageDefault = 0,  // the system's own (what a file that is not a number gives)
    LanguageChineseSimplified = 46,
    LanguageChineseTraditional = 47,
    LanguageGerman = 89,
    LanguageEnglish = 58,
    LanguageFrench = 80,
    LanguageItalian = 110,
    LanguageJapanese = 112
};

struct OfferedLanguage {
    int id;
    const char* label;  // UTF-8, shown as it is in every language
    wxLanguage language;
    // The system locales that mean this language, blank-separated: the
    // language with the region the identifier always stood for, and the bare
    // language where that is unambiguous.
    const char* system_tags;
};

// The offered languages in the order of the Language menu.
const std::vector<OfferedLanguage>& OfferedLanguages();

// wx 3.2's language for a file identifier: the offered ones map to their
// language, anything else to the system's default.
wxLanguage ToWxLanguage(int id);
// The file identifier of the offered language the system prefers (from the
// environment, as wx reads it: LANGUAGE, LC_ALL, LC_MESSAGES, LANG), or
// English when it prefers none of them. A regional variant is another
// language: German as spoken in Austria gives English.
int SystemLanguageId();
// The same for one locale name such as "ja_JP.UTF-8", "de-AT" or "fr".
int LanguageIdOfLocale(const wxString& locale);

// The identifier in language.txt: its first 8 bytes read as a number the way
// atoi does (0 when they are not one). Without a file, the system's language
// is chosen and saved.
int LoadLanguage();
int LoadLanguage(const wxString& path);
// Writes the identifier as decimal digits, nothing else; failures are ignored.
void SaveLanguage(int id);
void SaveLanguage(const wxString& path, int id);

// Where the catalogues are: the install folder's "Language" folder unless
// redirected (tests point it at a staged tree); "" returns to the default.
wxString GetCatalogueDir();
void SetCatalogueDir(const wxString& dir);

// Puts the language into effect for every text fetched from now on: the
// program's catalogue "language" (below `catalogue_dir`, as
// <name>/LC_MESSAGES/language.mo) and wx's own for its standard texts. No
// system locale is set, so numbers are read and written the same way in
// every language and no warning about a missing locale ever shows.
void ApplyLanguage(int id, const wxString& catalogue_dir);

#endif
