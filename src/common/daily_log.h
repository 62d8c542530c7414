// The daily log, one file a calendar day below the user data folder, written
// without wxWidgets: FileUtil wraps it for the window, kestran-extract calls
// it directly, so both write the same entries to the same file.
#ifndef KESTRAN_COMMON_DAILY_LOG_H
#define KESTRAN_COMMON_DAILY_LOG_H

#include <ctime>
#include <string>

namespace kestran {

// `when` in local time.
std::tm LocalTime(std::time_t when);

// UserDataDir() + "/Log/YYYYMMDD.log" for the date of `local`; creates the
// Log folder when missing.
std::string LogFilePath(const std::tm& local);

// "# HH:MM:SS " + message (the caller ends the message with "\n"); an empty
// message gives a separator line of 45 dots. Apart from that one final line
// end, control characters and bytes that are not UTF-8 in the message are
// written as EscapeForLog shows them (common/log_text.h), so that each entry
// is one line.
std::string FormatLogEntry(const std::string& message, const std::tm& local);

// The message of a job's entry: "<text> [<detail>] [<code>]", then a blank
// and `reason` when there is one, then "\n". Jobs log a file as its source
// path, its output folder, the result code and why it failed.
std::string JobLogLine(const std::string& text, const std::string& detail, int code,
                       const std::string& reason = std::string());

// Appends FormatLogEntry(message, local) to the log of that day. The file is
// opened and closed for each entry; failures are dropped silently.
void WriteLog(const std::string& message, const std::tm& local);
// The same for now.
void WriteLog(const std::string& message);

}  // namespace kestran

#endif
