#include "domain/domain_config.h"

#include <cstring>

#include <wx/ffile.h>
#include <wx/file.h>
#include <wx/filename.h>
#include <wx/log.h>
#include <wx/wfstream.h>
#include <wx/xml/xml.h>

#include "common/app_util.h"
#include "common/file_util.h"
#include "domain/convert_options.h"

DomainConfig* g_domain_config = nullptr;

namespace {

// The first and second element children of the root, or null.
wxXmlNode* FirstElement(wxXmlNode* parent) {
    for (wxXmlNode* n = parent ? parent->GetChildren() : nullptr; n; n = n->GetNext())
        if (n->GetType() == wxXML_ELEMENT_NODE)
            return n;
    return nullptr;
}

wxXmlNode* NextElement(wxXmlNode* node) {
    for (wxXmlNode* n = node ? node->GetNext() : nullptr; n; n = n->GetNext())
        if (n->GetType() == wxXML_ELEMENT_NODE)
            return n;
    return nullptr;
}

// Replaces the text of an element: the content of its first text or CDATA
// child, or a new text child when it has none.
void SetText(wxXmlNode* element, const wxString& text) {
    for (wxXmlNode* n = element->GetChildren(); n; n = n->GetNext()) {
        if (n->GetType() == wxXML_TEXT_NODE || n->GetType() == wxXML_CDATA_SECTION_NODE) {
            n->SetContent(text);
            return;
        }
    }
    element->AddChild(new wxXmlNode(wxXML_TEXT_NODE, wxString(), text));
}

bool LoadDocument(const wxString& path, wxXmlDocument& doc) {
    wxLogNull quiet;  // a broken file is repaired silently, not reported
    return wxFileName::FileExists(path) && doc.Load(path, "UTF-8") && doc.GetRoot();
}

}  // namespace

const char* DomainConfig::DefaultDocument() {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
           "<setting>\r\n"
           "   <last-convert-dir></last-convert-dir>\r\n"
           "   <last-output-dir></last-output-dir>\r\n"
           "</setting>\r\n";
}

wxString DomainConfig::FolderOf(const wxString& dir_or_list) {
    wxString first = dir_or_list.BeforeFirst('|');
    while (first.length() > 1 && first.EndsWith("/"))
        first.RemoveLast();
    if (first.empty())
        return wxString();
    const bool is_list = dir_or_list.Find('|') != wxNOT_FOUND;
    if (is_list || wxFileName::FileExists(first))
        return AppUtil::ParentDir(first);
    return first;
}

DomainConfig::DomainConfig(const wxString& path) {
    SetPath(path);
    proxy_ = ProxySettings();
}

DomainConfig::~DomainConfig() {
    Save();
}

void DomainConfig::SetPath(const wxString& path) {
    path_ = path;
    Load();
}

void DomainConfig::SetLastConvertDir(const wxString& dir_or_list) {
    lastConvertDir_ = FolderOf(dir_or_list);
    ConvertOptions[LAST_CONVERT_DIR] = lastConvertDir_;
}

bool DomainConfig::IsValid() const {
    wxXmlDocument doc;
    if (!LoadDocument(path_, doc))
        return false;
    wxXmlNode* first = FirstElement(doc.GetRoot());
    return first && NextElement(first);
}

bool DomainConfig::CreateDefault(bool force) {
    if (!force && wxFileName::FileExists(path_))
        return false;
    wxLogNull quiet;
    wxTempFile file;
    if (!file.Open(path_))
        return false;
    const char* text = DefaultDocument();
    return file.Write(text, std::strlen(text)) && file.Commit();
}

void DomainConfig::Load() {
    if (!IsValid())
        CreateDefault(true);

    wxXmlDocument doc;
    lastConvertDir_.clear();
    lastOutputDir_.clear();
    values_.clear();
    if (LoadDocument(path_, doc)) {
        wxXmlNode* first = FirstElement(doc.GetRoot());
        wxXmlNode* second = NextElement(first);
        if (first)
            lastConvertDir_ = first->GetNodeContent();
        if (second)
            lastOutputDir_ = second->GetNodeContent();
        for (wxXmlNode* n = NextElement(second); n; n = NextElement(n))
            values_[n->GetName()] = n->GetNodeContent();
    }
    if (lastOutputDir_.empty() || !FileUtil::IsPathExists(lastOutputDir_))
        lastOutputDir_ = AppUtil::GetDefaultOutputDir();

    ConvertOptions[LAST_CONVERT_DIR] = lastConvertDir_;
    ConvertOptions[LAST_OUTPUT_DIR] = lastOutputDir_;
}

wxString DomainConfig::GetValue(const wxString& name, const wxString& otherwise) const {
    const auto it = values_.find(name);
    return it == values_.end() ? otherwise : it->second;
}

long DomainConfig::GetNumber(const wxString& name, long otherwise) const {
    long number = 0;
    return GetValue(name).ToLong(&number) ? number : otherwise;
}

bool DomainConfig::Save() {
    lastConvertDir_ = FolderOf(ConvertOptions[LAST_CONVERT_DIR]);
    lastOutputDir_ = ConvertOptions[LAST_OUTPUT_DIR];
    return SaveFields();
}

bool DomainConfig::SaveFields() {
    if (!IsValid())
        CreateDefault(true);

    wxXmlDocument doc;
    if (!LoadDocument(path_, doc))
        return false;
    wxXmlNode* first = FirstElement(doc.GetRoot());
    wxXmlNode* second = NextElement(first);
    if (!first || !second)
        return false;
    SetText(first, lastConvertDir_);
    SetText(second, lastOutputDir_);
    for (const auto& [name, value] : values_) {
        wxXmlNode* element = NextElement(second);
        while (element && element->GetName() != name)
            element = NextElement(element);
        if (!element) {
            element = new wxXmlNode(wxXML_ELEMENT_NODE, name);
            doc.GetRoot()->AddChild(element);
        }
        SetText(element, value);
    }

    // Written next to the file and renamed over it only when complete.
    wxLogNull quiet;
    wxTempFileOutputStream out(path_);
    if (!out.IsOk() || !doc.Save(out, 2))
        return false;
    return out.Commit();
}
