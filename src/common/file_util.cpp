#include "common/file_util.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

#include <wx/dir.h>
#include <wx/file.h>
#include <wx/filename.h>
#include <wx/log.h>

#include "common/app_util.h"

bool FileUtil::IsPathExists(const wxString& path) {
    return wxFile::Exists(path) || wxDir::Exists(path);
}

bool FileUtil::MakeDir(const wxString& path) {
    return ::mkdir(path.utf8_str(), 0777) == 0;
}

void FileUtil::ListFiles(const wxString& folder, wxArrayString& list, const wxString& filter) {
    const int dot = filter.Find('.', true);
    const wxString wanted = dot == wxNOT_FOUND ? filter : filter.Mid(static_cast<size_t>(dot) + 1);

    if (!wxDir::Exists(folder))
        return;
    wxDir dir(folder);
    if (!dir.IsOpened())
        return;
    wxString name;
    for (bool more = dir.GetFirst(&name, wxString(), wxDIR_FILES); more; more = dir.GetNext(&name)) {
        const int name_dot = name.Find('.', true);
        const wxString ext = name_dot == wxNOT_FOUND ? name : name.Mid(static_cast<size_t>(name_dot) + 1);
        if (ext.Lower() == wanted)
            list.Add(folder + "/" + name);
    }
}

wxString FileUtil::FormatSize(uint64_t bytes) {
    // FromCDouble: the decimal separator stays a point whatever locale the
    // language choice set.
    const double b = static_cast<double>(bytes);
    const double k = b / 1024;
    if (k < 1)
        return wxString::FromCDouble(b, 1) + "B";
    const double m = k / 1024;
    if (m < 1)
        return wxString::FromCDouble(k, 1) + "KB";
    const double g = m / 1024;
    if (g < 1)
        return wxString::FromCDouble(m, 1) + "MB";
    return wxString::FromCDouble(g, 1) + "GB";
}

wxString FileUtil::GetFullName(const wxString& path) {
    return wxFileName(path).GetFullName();
}

wxString FileUtil::GetLogFilePath(const wxDateTime& when) {
    wxString date = when.Format("%Y-%m-%d");
    date.Replace("-", "");
    const wxString folder = AppUtil::GetUserDataDir() + "/Log";
    if (!wxDir::Exists(folder))
        MakeDir(folder);
    return folder + "/" + date + ".log";
}

wxString FileUtil::GetLogFilePath() {
    return GetLogFilePath(wxDateTime::Now());
}

wxString FileUtil::FormatLogEntry(const wxString& message, const wxDateTime& when) {
    if (message.empty())
        return "# .............................................\n";
    return "# " + when.Format("%H:%M:%S") + " " + message;
}

void FileUtil::WriteLog(const wxString& message, const wxDateTime& when) {
    const wxString path = GetLogFilePath(when);
    const wxString entry = FormatLogEntry(message, when);
    wxLogNull quiet;  // a log that cannot be opened is dropped, not shown
    wxFile file;
    if (!file.Open(path, wxFile::Exists(path) ? wxFile::write_append : wxFile::write))
        return;
    const wxScopedCharBuffer utf8 = entry.utf8_str();
    file.Write(utf8.data(), utf8.length());
    file.Close();
}

void FileUtil::WriteLog(const wxString& message) {
    WriteLog(message, wxDateTime::Now());
}
