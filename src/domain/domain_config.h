// The settings store: the two remembered folders, kept in the settings file
// (user data folder/KESTRAN.cfg), and the proxy settings of the current run.
//
// File format: UTF-8 XML, root <setting>; its first child element holds the
// last input folder, the second the last output folder (found by position, not
// by name). Further children are named values (GetValue/SetValue: the
// window's position, the output choice, the filters), found by name; an
// unknown child is kept as it is. A missing or unusable file
// is replaced by the default document. On load the two folders go to
// ConvertOptions[LAST_CONVERT_DIR] and [LAST_OUTPUT_DIR]; destruction (or
// Save) writes them back. Only a folder is ever stored as the last input
// folder, never a "|" list. Saving goes through a temporary file that
// replaces the old one only when complete, so a failed save keeps the old file.
//
// One instance per process, reachable through g_domain_config.
#ifndef KESTRAN_DOMAIN_DOMAIN_CONFIG_H
#define KESTRAN_DOMAIN_DOMAIN_CONFIG_H

#include <map>

#include <wx/string.h>

class DomainConfig {
public:
    struct ProxySettings {
        wxString type = "HTTP";
        wxString address;
        wxString port;
        wxString user;
        wxString password;
    };

    // Stores the path and loads the file (creating or repairing it); the proxy
    // starts as "HTTP" with four empty texts.
    explicit DomainConfig(const wxString& path);
    // Takes the two folders from ConvertOptions and saves.
    virtual ~DomainConfig();

    void SetPath(const wxString& path);
    const wxString& GetPath() const { return path_; }

    wxString GetLastConvertDir() const { return lastConvertDir_; }
    // Accepts a folder, a file or a "|" list of files and keeps a folder: the
    // folder itself, or the folder of the (first) file. Also updates
    // ConvertOptions[LAST_CONVERT_DIR], so the value is saved at exit.
    void SetLastConvertDir(const wxString& dir_or_list);
    wxString GetLastOutputDir() const { return lastOutputDir_; }

    ProxySettings GetProxy() const { return proxy_; }
    void SetProxy(const ProxySettings& proxy) { proxy_ = proxy; }

    // A remembered value by name, or `otherwise` when the file has none. The
    // name must be a valid XML element name other than the first two's.
    wxString GetValue(const wxString& name, const wxString& otherwise = wxString()) const;
    long GetNumber(const wxString& name, long otherwise) const;
    // Kept in memory; written with the folders by Save.
    void SetValue(const wxString& name, const wxString& value) { values_[name] = value; }

    // Reads the file into the fields and ConvertOptions keys 0 and 1.
    void Load();
    // Copies ConvertOptions keys 0 and 1 into the fields and writes the file.
    // False when nothing was written; the old file is then unchanged.
    bool Save();

    // True when the file exists, parses, and its root has two child elements.
    bool IsValid() const;
    // Writes the default document when the file is missing, or always with
    // `force`. True when written.
    bool CreateDefault(bool force);

    // The default document, byte for byte (five lines, each ending in "\r\n").
    static const char* DefaultDocument();
    // The folder to store for a path or a "|" list (see SetLastConvertDir).
    static wxString FolderOf(const wxString& dir_or_list);

private:
    bool SaveFields();

    wxString path_;
    wxString lastConvertDir_;
    wxString lastOutputDir_;
    ProxySettings proxy_;
    std::map<wxString, wxString> values_;
};

// The process-wide settings store. Not owning: the application object owns
// the instance (created at start-up, destroyed at exit, which saves) and sets
// this pointer; null before start-up and after exit.
extern DomainConfig* g_domain_config;

#endif
