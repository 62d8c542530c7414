#include "common/app_util.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <wx/filename.h>
#include <wx/log.h>
#include <wx/stdpaths.h>
#include <wx/utils.h>

namespace {

// wxStandardPaths::Get() insists on an application object; the paths we need
// do not, and the command-line tool and the tests run without one.
class Paths : public wxStandardPaths {
public:
    Paths() = default;
};

const Paths& StandardPaths() {
    static const Paths paths;
    return paths;
}

void MakeOneLevel(const wxString& path) {
    // One level only; an existing folder is fine.
    ::mkdir(path.utf8_str(), 0777);
}

wxString Slashes(wxString path) {
    path.Replace("\\", "/");
    return path;
}

wxString WithoutTrailingSlash(wxString path) {
    while (path.length() > 1 && path.EndsWith("/"))
        path.RemoveLast();
    return path;
}

}  // namespace

wxString AppUtil::ExeDirFromPath(const wxString& exe_path) {
    return ParentDir(Slashes(exe_path));
}

wxString AppUtil::ParentDir(const wxString& path) {
    const wxString p = Slashes(path);
    const int slash = p.Find('/', true);
    if (slash == wxNOT_FOUND)
        return wxString();
    return p.Left(static_cast<size_t>(slash));
}

wxString AppUtil::GetExeDir() {
    return ExeDirFromPath(StandardPaths().GetExecutablePath());
}

wxString AppUtil::GetInstallDir() {
    return ParentDir(GetExeDir());
}

wxString AppUtil::GetOptionFilePath() {
    return GetInstallDir() + "/option.cfg";
}

wxString AppUtil::GetDocumentsDir() {
    const wxString home = WithoutTrailingSlash(Slashes(wxFileName::GetHomeDir()));
    if (home.empty())
        return wxString();
    // wxStandardPaths answers the XDG documents folder when user-dirs.dirs
    // names one that exists, and the bare home folder otherwise; the home
    // folder itself is not a documents folder, so fall back to ~/Documents.
    const wxString xdg = WithoutTrailingSlash(Slashes(StandardPaths().GetDocumentsDir()));
    if (!xdg.empty() && xdg != home && wxFileName::DirExists(xdg))
        return xdg;
    return home + "/Documents";
}

wxString AppUtil::BuildUserDocDir(const wxString& documents_dir, const wxString& suffix) {
    const wxString documents = Slashes(documents_dir);
    // A fresh account often has no ~/Documents yet; without it nothing below
    // could be created and the settings would never be saved.
    if (!documents.empty())
        MakeOneLevel(documents);
    wxString path = documents + "/" + GetVendorName() + suffix;
    MakeOneLevel(path);
    path += "/" + GetProductName();
    MakeOneLevel(path);
    return path;
}

wxString AppUtil::GetUserDocDir(const wxString& suffix) {
    return BuildUserDocDir(GetDocumentsDir(), suffix);
}

wxString AppUtil::GetDefaultOutputDir() {
    return GetUserDocDir(wxString());
}

wxString AppUtil::GetUserDataDir() {
    return GetUserDocDir(" files");
}

wxString AppUtil::GetSettingsFilePath() {
    return GetUserDataDir() + "/" + GetProductId() + ".cfg";
}

wxString AppUtil::GetLanguageFilePath() {
    return GetUserDataDir() + "/language.txt";
}

wxString AppUtil::GetVendorName() {
    return "Olvarin";
}

wxString AppUtil::GetProductId() {
    return "KESTRAN";
}

wxString AppUtil::GetVersion() {
    return "2.1.24";
}

wxString AppUtil::GetProductName() {
    wxString name = "Olvarin+Kestran";
    name.Replace("+", " ");
    return name;
}
