#include "common/file_util.h"

#include <wx/dir.h>
#include <wx/file.h>
#include <wx/filename.h>

#include "common/daily_log.h"
#include "common/folder_listing.h"
#include "common/local_paths.h"
#include "common/size_text.h"

// Listing, sizes and the log are shared with kestran-extract, which links no
// wxWidgets: the rules live in the plain files included above, and these are
// their wxString faces for the window.

namespace {

// The local date and time of `when`, as the plain log functions take them
// (they write no more than the date and the time of day).
std::tm LocalTm(const wxDateTime& when) {
    const wxDateTime::Tm t = when.GetTm();
    std::tm local{};
    local.tm_year = t.year - 1900;
    local.tm_mon = static_cast<int>(t.mon);
    local.tm_mday = t.mday;
    local.tm_hour = t.hour;
    local.tm_min = t.min;
    local.tm_sec = t.sec;
    local.tm_isdst = -1;
    return local;
}

}  // namespace

bool FileUtil::IsPathExists(const wxString& path) {
    return wxFile::Exists(path) || wxDir::Exists(path);
}

bool FileUtil::MakeDir(const wxString& path) {
    return kestran::MakeDir(path.utf8_string());
}

void FileUtil::ListFiles(const wxString& folder, wxArrayString& list, const wxString& filter) {
    for (const std::string& path : kestran::ListFiles(folder.utf8_string(), filter.utf8_string()))
        list.Add(wxString::FromUTF8(path));
}

wxString FileUtil::FormatSize(uint64_t bytes) {
    return wxString::FromUTF8(kestran::FormatSize(bytes));
}

wxString FileUtil::GetFullName(const wxString& path) {
    return wxFileName(path).GetFullName();
}

wxString FileUtil::GetLogFilePath(const wxDateTime& when) {
    return wxString::FromUTF8(kestran::LogFilePath(LocalTm(when)));
}

wxString FileUtil::GetLogFilePath() {
    return GetLogFilePath(wxDateTime::Now());
}

wxString FileUtil::FormatLogEntry(const wxString& message, const wxDateTime& when) {
    return wxString::FromUTF8(kestran::FormatLogEntry(message.utf8_string(), LocalTm(when)));
}

void FileUtil::WriteLog(const wxString& message, const wxDateTime& when) {
    kestran::WriteLog(message.utf8_string(), LocalTm(when));
}

void FileUtil::WriteLog(const wxString& message) {
    WriteLog(message, wxDateTime::Now());
}
