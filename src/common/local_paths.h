// Questions about local paths, answered without wxWidgets, so that the
// command-line extractor and the window share them. Paths are UTF-8 with "/".
#ifndef KESTRAN_COMMON_LOCAL_PATHS_H
#define KESTRAN_COMMON_LOCAL_PATHS_H

#include <string>

namespace kestran {

// $HOME when set and not empty, else the account's home folder from the
// password database; "" when neither is known.
std::string HomeDir();

// Following symbolic links: an existing folder / an existing regular file.
bool IsFolder(const std::string& path);
bool IsFile(const std::string& path);

// Creates one folder level (no parents). True when it was created; false when
// it existed already or could not be made.
bool MakeDir(const std::string& path);

// Everything before the last "/": "/opt/a\b/bin" gives "/opt/a\b" (a backslash
// is an ordinary name character), "/kestran" gives "", a path without "/" gives "".
std::string ParentDir(const std::string& path);

// `path` made absolute against the current folder, "." and ".." resolved,
// a leading "~" expanded, without a trailing "/" (except "/" itself).
std::string AbsolutePath(const std::string& path);

}  // namespace kestran

#endif
