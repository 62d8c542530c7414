// The option file (install folder/option.cfg) and the URL table it fills.
//
// The file is XML: <setting><url><update>stem</update><help>..</help>...</url></setting>.
// Every element child of the first /setting/url becomes the key "url:" + its
// name with its text as value (a later element of the same name wins); the
// value of "url:update" gets "-update.xml" appended. The file is parsed with
// libxml2 without network access, without DTD loading and without entity
// expansion (entity references contribute no text).
#ifndef KESTRAN_DOMAIN_DOMAIN_OPTION_H
#define KESTRAN_DOMAIN_DOMAIN_OPTION_H

#include <map>

#include <wx/string.h>

class DomainOption {
public:
    DomainOption() = default;
    virtual ~DomainOption() = default;

    // Fills the URL table from AppUtil::GetOptionFilePath(). False when the
    // file is missing, not well-formed or has no /setting/url element; then
    // `error` (when given) receives a message naming the file, and the start-up
    // stops in an orderly way. The table is replaced, not merged, so loading
    // again never appends the suffix twice.
    bool Load(wxString* error = nullptr);
    // The same on a given file.
    bool LoadFrom(const wxString& path, wxString* error = nullptr);

    // The value under `key` ("url:help"...), or "" when there is none. A lookup
    // never changes the table, so any thread may read it after start-up.
    static wxString GetUrl(const wxString& key);
    // Empties the table.
    static void Clear();

private:
    static std::map<wxString, wxString> urls_;
};

#endif
