// Paths, identity texts and the one shell action of the program.
//
// Every file and folder the program reads or writes is named here; other code
// asks AppUtil instead of building paths itself. All paths use "/" as the
// separator (a backslash is an ordinary file-name character) and never end
// in "/".
#ifndef KESTRAN_COMMON_APP_UTIL_H
#define KESTRAN_COMMON_APP_UTIL_H

#include <wx/arrstr.h>
#include <wx/string.h>

class AppUtil {
public:
    virtual ~AppUtil() = default;

    // Folder of the running executable, from the real executable path
    // (/proc/self/exe), so a relative start or a symbolic link still finds the
    // installation.
    static wxString GetExeDir();
    // The folder that holds Themes/ and Language/: the parent of the
    // executable folder in a staged tree (build/stage), <prefix>/share/kestran
    // when installed (see kestran::LayoutForExeDir).
    static wxString GetInstallDir();
    // option.cfg: in the install folder of a staged tree, else
    // /etc/kestran/option.cfg (prefix /usr) or <prefix>/etc/kestran/option.cfg.
    static wxString GetOptionFilePath();
    // The application icon in every size installed, largest last:
    // <prefix>/share/icons/hicolor/<N>x<N>/apps/kestran.png that exist.
    static wxArrayString GetAppIconPaths();

    // The user's Documents folder: the XDG documents folder when
    // user-dirs.dirs names one that exists, else $HOME/Documents (which need
    // not exist). Empty when the home folder is unknown.
    static wxString GetDocumentsDir();
    // Documents + "/" + vendor + suffix + "/" + product name; creates those two
    // levels, and the Documents folder itself when missing (one mkdir each,
    // failures ignored) on every call.
    static wxString GetUserDocDir(const wxString& suffix);
    // Documents/Olvarin/Olvarin Kestran (created).
    static wxString GetDefaultOutputDir();
    // Documents/Olvarin files/Olvarin Kestran (created).
    static wxString GetUserDataDir();
    // GetUserDataDir() + "/KESTRAN.cfg".
    static wxString GetSettingsFilePath();
    // GetUserDataDir() + "/language.txt".
    static wxString GetLanguageFilePath();

    static wxString GetVendorName();   // "Olvarin"
    static wxString GetProductId();    // "KESTRAN"
    static wxString GetVersion();      // the project version in CMake, "2.1.24"
    static wxString GetProductName();  // "Olvarin Kestran"

    // Opens the folder in the desktop's file browser (wxLaunchDefaultApplication;
    // call it on the UI thread). The outcome is not reported: a missing folder
    // shows whatever the desktop shows.
    static void OpenFolder(const wxString& path);

    // Pure helpers behind the operations above, exposed for tests.
    // Everything up to (without) the last "/"; "/opt/a\b/bin/app" gives
    // "/opt/a\b/bin" (a backslash belongs to the name). A path without "/" gives "".
    static wxString ExeDirFromPath(const wxString& exe_path);
    // Everything before the last "/" ("/opt/a/bin" gives "/opt/a").
    static wxString ParentDir(const wxString& path);
    // GetUserDocDir on a given Documents folder (creates the two levels).
    static wxString BuildUserDocDir(const wxString& documents_dir, const wxString& suffix);
};

#endif
