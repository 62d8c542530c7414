// Where the program lives and where it keeps the user's files, without
// wxWidgets: AppUtil wraps these for the window, kestran-extract calls them
// directly. Paths are UTF-8, use "/" and never end in "/".
#ifndef KESTRAN_COMMON_USER_FOLDERS_H
#define KESTRAN_COMMON_USER_FOLDERS_H

#include <string>

namespace kestran {

std::string VendorName();   // "Olvarin"
std::string ProductName();  // "Olvarin Kestran"

// Folder of the running executable, from the real executable path
// (/proc/self/exe), so a relative start or a symbolic link still finds the
// installation. "" when it cannot be read.
std::string ExeDir();

// Where the installed data are. Two layouts are in use:
//  - staged (build/stage): the executable's parent folder holds everything,
//    option.cfg, Themes/ and Language/;
//  - FHS (`cmake --install`, the Debian package): the executable is in
//    <prefix>/bin, the theme and catalogues in <prefix>/share/kestran, and
//    option.cfg, which whoever installs the program edits, in the
//    configuration folder of the prefix (ConfigDirForPrefix).
// An executable whose parent holds share/kestran is installed the FHS way.
struct InstallLayout {
    std::string data_dir;     // holds Themes/ and Language/
    std::string option_file;  // the option file
    // The hicolor icon theme with the application icon: <prefix>/share/icons/hicolor
    // in both layouts (build/stage renders the icons there too).
    std::string icon_dir;
};
InstallLayout LayoutForExeDir(const std::string& exe_dir);
// LayoutForExeDir(ExeDir()).
InstallLayout InstalledLayout();
// "/etc/kestran" for the prefix /usr (as GNU and Debian put /usr's
// configuration in /etc), else <prefix>/etc/kestran.
std::string ConfigDirForPrefix(const std::string& prefix);

// The user's Documents folder: the XDG documents folder when user-dirs.dirs
// (in $XDG_CONFIG_HOME, else ~/.config) names one that exists and is not the
// home folder itself, else $HOME/Documents (which need not exist). "" when
// the home folder is unknown.
std::string DocumentsDir();

// documents + "/" + vendor + suffix + "/" + product name (a backslash in
// `documents_dir` is part of a folder name and stays as it is);
// creates the Documents folder when missing and the two levels (one mkdir
// each, failures ignored) on every call.
std::string BuildUserDocDir(const std::string& documents_dir, const std::string& suffix);
// BuildUserDocDir on DocumentsDir().
std::string UserDocDir(const std::string& suffix);
// Documents/Olvarin/Olvarin Kestran (created).
std::string DefaultOutputDir();
// Documents/Olvarin files/Olvarin Kestran (created).
std::string UserDataDir();

}  // namespace kestran

#endif
