#include "common/daily_log.h"

#include <cstdio>
#include <memory>

#include "common/local_paths.h"
#include "common/log_text.h"
#include "common/user_folders.h"

namespace kestran {
namespace {

std::string Format(const std::tm& local, const char* format) {
    char text[64];
    const size_t n = std::strftime(text, sizeof text, format, &local);
    return std::string(text, n);
}

}  // namespace

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}

std::string LogFilePath(const std::tm& local) {
    const std::string folder = UserDataDir() + "/Log";
    if (!IsFolder(folder))
        MakeDir(folder);
    return folder + "/" + Format(local, "%Y%m%d") + ".log";
}

std::string FormatLogEntry(const std::string& message, const std::tm& local) {
    if (message.empty())
        return "# .............................................\n";
    // One entry stays one line whatever a file name holds: only the line end
    // the caller gives is kept as it is.
    const bool ends_line = message.back() == '\n';
    const std::string_view text(message.data(), message.size() - (ends_line ? 1 : 0));
    return "# " + Format(local, "%H:%M:%S") + " " + EscapeForLog(text) + (ends_line ? "\n" : "");
}

void WriteLog(const std::string& message, const std::tm& local) {
    const std::string entry = FormatLogEntry(message, local);
    // A log that cannot be opened is dropped: the work it records goes on.
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(LogFilePath(local).c_str(), "ab"), std::fclose);
    if (file)
        std::fwrite(entry.data(), 1, entry.size(), file.get());
}

void WriteLog(const std::string& message) {
    WriteLog(message, LocalTime(std::time(nullptr)));
}

std::string JobLogLine(const std::string& text, const std::string& detail, int code, const std::string& reason)
{
    return text + " [" + detail + "] [" + std::to_string(code) + "]" + (reason.empty() ? "" : " " + reason) + "\n";
}

}  // namespace kestran
