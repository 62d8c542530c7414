#include "common/app_util.h"

#include "common/local_paths.h"
#include "common/user_folders.h"

#include <string>

// The folders are shared with kestran-extract, which links no wxWidgets: the
// rules live in user_folders.cpp and local_paths.cpp, and these are their
// wxString faces for the window.

namespace {

wxString Wide(const std::string& utf8) {
    return wxString::FromUTF8(utf8);
}

}  // namespace

wxString AppUtil::ExeDirFromPath(const wxString& exe_path) {
    return ParentDir(exe_path);
}

wxString AppUtil::ParentDir(const wxString& path) {
    return Wide(kestran::ParentDir(path.utf8_string()));
}

wxString AppUtil::GetExeDir() {
    return Wide(kestran::ExeDir());
}

wxString AppUtil::GetInstallDir() {
    return Wide(kestran::InstalledLayout().data_dir);
}

wxString AppUtil::GetOptionFilePath() {
    return Wide(kestran::InstalledLayout().option_file);
}

wxArrayString AppUtil::GetAppIconPaths() {
    // The sizes data/desktop renders; a desktop picks the nearest for each use
    // (task switcher, title, GDK_SCALE=2).
    static const int sizes[] = {16, 24, 32, 48, 64, 128, 256};
    const std::string dir = kestran::InstalledLayout().icon_dir;
    wxArrayString paths;
    for (int size : sizes) {
        const std::string path = dir + "/" + std::to_string(size) + "x" + std::to_string(size) + "/apps/kestran.png";
        if (kestran::IsFile(path))
            paths.Add(Wide(path));
    }
    return paths;
}

wxString AppUtil::GetDocumentsDir() {
    return Wide(kestran::DocumentsDir());
}

wxString AppUtil::BuildUserDocDir(const wxString& documents_dir, const wxString& suffix) {
    return Wide(kestran::BuildUserDocDir(documents_dir.utf8_string(), suffix.utf8_string()));
}

wxString AppUtil::GetUserDocDir(const wxString& suffix) {
    return Wide(kestran::UserDocDir(suffix.utf8_string()));
}

wxString AppUtil::GetDefaultOutputDir() {
    return Wide(kestran::DefaultOutputDir());
}

wxString AppUtil::GetUserDataDir() {
    return Wide(kestran::UserDataDir());
}

wxString AppUtil::GetSettingsFilePath() {
    return GetUserDataDir() + "/" + GetProductId() + ".cfg";
}

wxString AppUtil::GetLanguageFilePath() {
    return GetUserDataDir() + "/language.txt";
}

wxString AppUtil::GetVendorName() {
    return Wide(kestran::VendorName());
}

wxString AppUtil::GetProductId() {
    return "KESTRAN";
}

wxString AppUtil::GetVersion() {
    // The project's version in CMake, the one the update check compares.
    return KESTRAN_VERSION;
}

wxString AppUtil::GetProductName() {
    return Wide(kestran::ProductName());
}
