#include "pdf/cli_util.h"

#include <dirent.h>
#include <pwd.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kestran::cli {
namespace {

// The page-range pattern of the window's MatchPageRange, read with glibc's
// POSIX matcher for the leftmost-longest match.
const char kPattern[] =
    "^[1-9][0-9]*(-[1-9][0-9]*)*(,?[1-9][0-9]*)*(,?[1-9][0-9]*-[1-9][0-9]*)*(,?[1-9][0-9]*)*";

class CompiledPattern {
public:
    CompiledPattern() { ok_ = regcomp(&re_, kPattern, REG_EXTENDED) == 0; }
    ~CompiledPattern()
    {
        if (ok_)
            regfree(&re_);
    }
    CompiledPattern(const CompiledPattern&) = delete;
    CompiledPattern& operator=(const CompiledPattern&) = delete;

    size_t LeadingMatch(const char* text) const
    {
        regmatch_t m;
        if (!ok_ || regexec(&re_, text, 1, &m, 0) != 0 || m.rm_so != 0 || m.rm_eo <= 0)
            return 0;
        return static_cast<size_t>(m.rm_eo);
    }

private:
    regex_t re_;
    bool ok_ = false;
};

// StringUtil::ToInt: leading blanks, a sign, digits; saturated to int.
int ToInt(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        if (value < limit)
            value = value * 10 + (text[i] - '0');
    if (negative)
        return value >= limit ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == separator)
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

std::string Slashes(std::string path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::string WithoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string HomeDir()
{
    if (const char* home = std::getenv("HOME"))
        return home;
    if (const passwd* pw = getpwuid(getuid()))
        return pw->pw_dir;
    return std::string();
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
}

std::string Trim(const std::string& text)
{
    const char* blanks = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The XDG documents folder as user-dirs.dirs names it, the home folder when
// it names none that exists.
std::string XdgDocumentsDir(const std::string& home)
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string dirs = (config != nullptr ? std::string(config) : home + "/.config") + "/user-dirs.dirs";
    std::ifstream in(dirs);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("XDG_DOCUMENTS_DIR") == std::string::npos)
            continue;
        const size_t equals = line.find('=');
        std::string value = equals == std::string::npos ? std::string() : line.substr(equals + 1);
        ReplaceAll(value, "$HOME", home);
        value = Trim(value);
        value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
        if (!value.empty() && IsFolder(value))
            return value;
        break;
    }
    return home;
}

void MakeOneLevel(const std::string& path) { ::mkdir(path.c_str(), 0777); }

std::string FormatTime(std::time_t when, const char* format)
{
    std::tm local{};
    localtime_r(&when, &local);
    char text[64];
    const size_t n = std::strftime(text, sizeof text, format, &local);
    return std::string(text, n);
}

}  // namespace

std::string MatchPageRange(std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r\n\v\f");
    text.erase(0, first == std::string::npos ? text.size() : first);
    static const CompiledPattern pattern;
    return text.substr(0, pattern.LeadingMatch(text.c_str()));
}

bool CheckPageRange(const std::string& text, int count)
{
    for (const std::string& piece : Split(text, ',')) {
        if (piece.empty())
            return false;
        if (piece.find_first_not_of("0123456789") == std::string::npos) {
            if (ToInt(piece) > count)
                return false;
            continue;
        }
        const std::vector<std::string> numbers = Split(piece, '-');
        for (size_t i = 0; i < numbers.size(); i += 2) {
            const int first = ToInt(numbers[i]);
            const int second = i + 1 < numbers.size() ? ToInt(numbers[i + 1]) : 0;
            if (second > count || second < first)
                return false;
        }
    }
    return true;
}

std::string FormatSize(uint64_t bytes)
{
    auto text = [](double value, const char* unit) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.1f%s", value, unit);
        return std::string(buffer);
    };
    const double b = static_cast<double>(bytes);
    const double k = b / 1024;
    if (k < 1)
        return text(b, "B");
    const double m = k / 1024;
    if (m < 1)
        return text(k, "KB");
    const double g = m / 1024;
    if (g < 1)
        return text(m, "MB");
    return text(g, "GB");
}

std::string ExeDir()
{
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::string();
    const std::string path = exe.string();
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string DocumentsDir()
{
    const std::string home = WithoutTrailingSlash(Slashes(HomeDir()));
    if (home.empty())
        return std::string();
    const std::string xdg = WithoutTrailingSlash(Slashes(XdgDocumentsDir(HomeDir())));
    if (!xdg.empty() && xdg != home && IsFolder(xdg))
        return xdg;
    return home + "/Documents";
}

std::string UserDocDir(const std::string& suffix)
{
    const std::string documents = Slashes(DocumentsDir());
    if (!documents.empty())
        MakeOneLevel(documents);
    std::string path = documents + "/Olvarin" + suffix;
    MakeOneLevel(path);
    path += "/Olvarin Kestran";
    MakeOneLevel(path);
    return path;
}

std::string LogFilePath(std::time_t when)
{
    const std::string folder = UserDocDir(" files") + "/Log";
    if (!IsFolder(folder))
        MakeOneLevel(folder);
    return folder + "/" + FormatTime(when, "%Y%m%d") + ".log";
}

void WriteLog(const std::string& message)
{
    const std::time_t now = std::time(nullptr);
    const std::string entry = message.empty() ? "# .............................................\n"
                                              : "# " + FormatTime(now, "%H:%M:%S") + " " + message;
    // A log that cannot be opened is dropped: the extraction goes on.
    if (FILE* file = std::fopen(LogFilePath(now).c_str(), "ab")) {
        std::fwrite(entry.data(), 1, entry.size(), file);
        std::fclose(file);
    }
}

std::vector<std::string> ListPdfFiles(const std::string& folder)
{
    std::vector<std::string> files;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return files;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;  // hidden files, "." and ".."
        const std::string path = folder + "/" + name;
        if (!IsFile(path))
            continue;
        const size_t dot = name.find_last_of('.');
        std::string ext = dot == std::string::npos ? name : name.substr(dot + 1);
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (ext == "pdf")
            files.push_back(path);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

std::string AbsolutePath(const std::string& path)
{
    namespace fs = std::filesystem;
    std::string expanded = path;
    if (expanded == "~" || expanded.rfind("~/", 0) == 0)
        expanded = HomeDir() + expanded.substr(1);
    fs::path p(expanded);
    std::error_code ec;
    if (p.is_relative())
        p = fs::current_path(ec) / p;
    std::string full = p.lexically_normal().string();
    return WithoutTrailingSlash(full);
}

bool IsFolder(const std::string& path)
{
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path)
{
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace kestran::cli
