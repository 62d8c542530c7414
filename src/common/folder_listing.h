// The files of one folder selected by extension, without wxWidgets
// (FileUtil::ListFiles wraps it; kestran-extract reads folders with it).
#ifndef KESTRAN_COMMON_FOLDER_LISTING_H
#define KESTRAN_COMMON_FOLDER_LISTING_H

#include <string>
#include <vector>

namespace kestran {

// folder + "/" + name for every regular, non-hidden file directly in `folder`
// (a symbolic link counts as what it points to) whose ASCII-lower-cased
// extension equals the filter's extension: the part after the filter's last
// ".", used unchanged, so "*.pdf", ".pdf" and "pdf" all select pdf files of
// any case. A name without "." is its own extension. In directory order; an
// unreadable folder gives nothing.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& filter);

}  // namespace kestran

#endif
