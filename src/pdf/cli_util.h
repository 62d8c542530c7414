// What kestran-extract needs beyond the PDF service, without wxWidgets.
//
// The extractor is measured against command-line tools whose whole process
// stays near 10 MB; loading wxBase and the GLib it pulls in costs the
// extractor about 3 MB before any work. These functions give exactly the
// answers of their wx counterparts (MatchPageRange, CheckPageRange,
// FileUtil::FormatSize, FileUtil::ListFiles, FileUtil::WriteLog and the
// AppUtil folders), which the tests hold them to, so that the extractor and
// the window agree on ranges, names, folders and the daily log.
#ifndef KESTRAN_PDF_CLI_UTIL_H
#define KESTRAN_PDF_CLI_UTIL_H

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace kestran::cli {

// MatchPageRange: leading blanks of `text` are removed, then the longest
// leading part in the page-range syntax is returned ("" when none).
std::string MatchPageRange(std::string& text);

// CheckPageRange: every piece fits a file of `count` pages.
bool CheckPageRange(const std::string& text, int count);

// FileUtil::FormatSize: "512.0B", "1.5KB", "41.0MB", ...
std::string FormatSize(uint64_t bytes);

// The folder of the running program.
std::string ExeDir();

// The user's documents folder: the XDG documents folder when one other than
// the home folder exists, else ~/Documents.
std::string DocumentsDir();

// AppUtil::GetUserDocDir: <documents>/Olvarin<suffix>/Olvarin Kestran, each
// level created when missing.
std::string UserDocDir(const std::string& suffix);

// AppUtil::GetDefaultOutputDir.
inline std::string DefaultOutputDir() { return UserDocDir(""); }

// FileUtil::GetLogFilePath: <user data>/Log/YYYYMMDD.log for the local date of `when`.
std::string LogFilePath(std::time_t when);

// FileUtil::WriteLog: appends "# HH:MM:SS <message>" to the day's log.
void WriteLog(const std::string& message);

// FileUtil::ListFiles with "*.pdf": the visible files directly in `folder`
// whose extension is "pdf" in any case, as full paths, sorted.
std::vector<std::string> ListPdfFiles(const std::string& folder);

// `path` made absolute against the current folder, "." and ".." resolved,
// a leading "~" expanded, without a trailing slash.
std::string AbsolutePath(const std::string& path);

bool IsFolder(const std::string& path);
bool IsFile(const std::string& path);

}  // namespace kestran::cli

#endif
