// The files of one folder selected by extension, without wxWidgets
// (FileUtil::ListFiles wraps it; kestran-extract reads folders with it), and
// whether a folder takes new files.
#ifndef KESTRAN_COMMON_FOLDER_LISTING_H
#define KESTRAN_COMMON_FOLDER_LISTING_H

#include <string>
#include <vector>

namespace kestran {

// folder + "/" + name for every regular, non-hidden file directly in `folder`
// (a symbolic link counts as what it points to) whose ASCII-lower-cased
// extension equals the filter's extension: the part after the filter's last
// ".", used unchanged, so "*.pdf", ".pdf" and "pdf" all select pdf files of
// any case. A name without "." is its own extension. In the order a file
// manager shows them (NaturalLess); an unreadable folder gives nothing.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& filter);

// File-name order as people read it: letters without regard to ASCII case,
// runs of digits by their value ("page2" before "page10"); names equal that
// way are ordered by their bytes, so the order is total.
bool NaturalLess(const std::string& a, const std::string& b);

// True when `folder` is an existing folder in which files can be created: the
// test the extraction makes before it writes anything, and the one the window
// makes of a folder the user chooses.
bool IsWritableFolder(const std::string& folder);

}  // namespace kestran

#endif
