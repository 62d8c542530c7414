#include "pdf/stale_temp_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

namespace kestran::pdf {

const char kTempFilePrefix[] = ".kestran-part-";

namespace {

// The random characters mkostemp adds.
constexpr size_t kRandomChars = 6;
// Host names are at most 64 bytes; the cap keeps the whole name far below 255.
constexpr size_t kMaxHostChars = 64;

bool IsHostChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

// A decimal number and nothing else, within range.
bool ParseNumber(const std::string& text, unsigned long long& value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

std::string ThisHost()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return std::string();
    std::string host(name);
    if (host.size() > kMaxHostChars)
        host.resize(kMaxHostChars);
    for (char& c : host)
        if (!IsHostChar(c))
            c = '_';
    return host;
}

unsigned long long ThisPidNamespace()
{
    struct stat st {};
    return stat("/proc/self/ns/pid", &st) == 0 ? static_cast<unsigned long long>(st.st_ino) : 0;
}

// Splits the last "-<field>" off `text`.
bool TakeLastField(std::string& text, std::string& field)
{
    const size_t dash = text.find_last_of('-');
    if (dash == std::string::npos)
        return false;
    field = text.substr(dash + 1);
    text.erase(dash);
    return true;
}

// The folders swept in this process, most recent last. Constant-initialised
// and trivially destructible like the list of temporary files, so that a
// writer still running while the process ends finds it intact. A folder
// pushed out by 256 others is swept again, which costs a listing, no harm.
struct SweptFolders {
    std::mutex mutex;
    size_t keys[256] = {};
    size_t used = 0;
    size_t next = 0;
};
static_assert(std::is_trivially_destructible_v<SweptFolders>, "the table must outlive every writer");
SweptFolders g_swept;

}  // namespace

TempFileWriter ThisTempFileWriter()
{
    TempFileWriter writer;
    writer.host = ThisHost();
    writer.pid_namespace = ThisPidNamespace();
    writer.pid = getpid();
    writer.start = ProcessStartTicks(writer.pid);
    return writer;
}

std::string TempFileNameStem(const TempFileWriter& writer)
{
    return std::string(kTempFilePrefix) + writer.host + "-" + std::to_string(writer.pid_namespace) + "-" +
           std::to_string(writer.pid) + "-" + std::to_string(writer.start) + "-";
}

bool ParseTempFileName(const std::string& name, TempFileWriter& writer)
{
    const std::string prefix(kTempFilePrefix);
    if (name.size() <= prefix.size() + kRandomChars || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::string rest = name.substr(prefix.size());
    std::string random, start, pid, pid_namespace;
    if (!TakeLastField(rest, random) || random.size() != kRandomChars || !TakeLastField(rest, start) ||
        !TakeLastField(rest, pid) || !TakeLastField(rest, pid_namespace))
        return false;
    for (char c : random)
        if (!IsHostChar(c) || c == '-' || c == '.' || c == '_')
            return false;
    unsigned long long start_value = 0, pid_value = 0, namespace_value = 0;
    if (!ParseNumber(start, start_value) || !ParseNumber(pid, pid_value) ||
        !ParseNumber(pid_namespace, namespace_value) || pid_value == 0 || pid_value > INT_MAX || rest.empty() ||
        rest.size() > kMaxHostChars)
        return false;
    for (char c : rest)
        if (!IsHostChar(c))
            return false;
    writer.host = rest;
    writer.pid_namespace = namespace_value;
    writer.pid = static_cast<long long>(pid_value);
    writer.start = start_value;
    return true;
}

unsigned long long ProcessStartTicks(long long pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "re"), std::fclose);
    if (!file)
        return 0;
    char line[1024] = {};
    const size_t n = std::fread(line, 1, sizeof line - 1, file.get());
    const std::string text(line, n);
    // The command name (field 2) is in parentheses and may hold anything,
    // spaces and ')' included: count fields from the last ')'. The start
    // time is field 22, the 20th after it.
    size_t pos = text.rfind(')');
    if (pos == std::string::npos)
        return 0;
    for (int field = 0; field < 20; ++field) {
        pos = text.find(' ', pos + 1);
        if (pos == std::string::npos)
            return 0;
    }
    const size_t end = text.find(' ', pos + 1);
    unsigned long long start = 0;
    return ParseNumber(text.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1), start)
               ? start
               : 0;
}

bool TempFileWriterIsGone(const TempFileWriter& writer, const TempFileWriter& self)
{
    if (writer.host.empty() || writer.host != self.host)
        return false;
    if (writer.pid_namespace == 0 || writer.pid_namespace != self.pid_namespace)
        return false;
    if (writer.pid <= 0 || writer.pid > INT_MAX)
        return false;
    if (kill(static_cast<pid_t>(writer.pid), 0) != 0 && errno == ESRCH)
        return true;
    // The id is in use (EPERM: by another user): by the writer, unless that
    // process started at another time.
    if (writer.start == 0)
        return false;
    const unsigned long long start = ProcessStartTicks(writer.pid);
    return start != 0 && start != writer.start;
}

int RemoveStaleTempFiles(const std::string& folder)
{
    const TempFileWriter self = ThisTempFileWriter();
    if (self.host.empty() || self.pid_namespace == 0)
        return 0;  // nothing could be told apart
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir)
        return 0;
    const int fd = dirfd(dir.get());
    const uid_t user = geteuid();
    std::vector<std::string> stale;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        TempFileWriter writer;
        if (!ParseTempFileName(name, writer))
            continue;
        struct stat st {};
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || st.st_uid != user)
            continue;
        if (TempFileWriterIsGone(writer, self))
            stale.push_back(name);
    }
    int removed = 0;
    for (const std::string& name : stale)
        if (unlinkat(fd, name.c_str(), 0) == 0)
            ++removed;
    return removed;
}

void RemoveStaleTempFilesOnce(const std::string& folder)
{
    const size_t key = std::hash<std::string>()(folder);
    {
        std::lock_guard<std::mutex> lock(g_swept.mutex);
        for (size_t i = 0; i < g_swept.used; ++i)
            if (g_swept.keys[i] == key)
                return;
        const size_t capacity = sizeof g_swept.keys / sizeof g_swept.keys[0];
        g_swept.keys[g_swept.next] = key;
        g_swept.next = (g_swept.next + 1) % capacity;
        if (g_swept.used < capacity)
            ++g_swept.used;
    }
    RemoveStaleTempFiles(folder);
}

}  // namespace kestran::pdf
