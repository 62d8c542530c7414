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
