// File-system helpers shared by several parts of the program, and the daily log.
#ifndef KESTRAN_COMMON_FILE_UTIL_H
#define KESTRAN_COMMON_FILE_UTIL_H

#include <cstdint>
#include <wx/arrstr.h>
#include <wx/datetime.h>
#include <wx/string.h>

class FileUtil {
public:
    virtual ~FileUtil() = default;

    // True when a file or a folder of that path exists.
    static bool IsPathExists(const wxString& path);
    // Creates one folder level (no parents). True when the folder was created;
    // false when it already existed or could not be made. Callers may ignore it.
    static bool MakeDir(const wxString& path);
    // Appends folder + "/" + name for every plain, non-hidden file directly in
    // `folder` whose lower-cased extension equals the filter's extension (the
    // part after the filter's last ".", used unchanged: "*.pdf", ".pdf" and
    // "pdf" all select pdf files of any case). A name without "." is its own
    // extension. An unreadable folder appends nothing.
    static void ListFiles(const wxString& folder, wxArrayString& list, const wxString& filter);
    // "0.0B", "1.5KB", "1.0MB", "1024.0GB": one decimal, always a point.
    static wxString FormatSize(uint64_t bytes);
    // Name and extension of a path: what follows the last "/"
    // ("/x/y/report.pdf" gives "report.pdf", "/x/a\b.pdf" gives "a\b.pdf").
    static wxString GetFullName(const wxString& path);

    // User data folder + "/Log/YYYYMMDD.log" for today (local time); creates
    // the Log folder when missing.
    static wxString GetLogFilePath();
    static wxString GetLogFilePath(const wxDateTime& when);
    // Appends "# HH:MM:SS " + message to today's log (the caller ends the
    // message with "\n"); an empty message writes a separator line of 45 dots.
    // The file is opened and closed for each entry; failures are dropped silently.
    static void WriteLog(const wxString& message);
    static void WriteLog(const wxString& message, const wxDateTime& when);
    // The entry text WriteLog writes for `message` at `when`.
    static wxString FormatLogEntry(const wxString& message, const wxDateTime& when);
};

#endif
