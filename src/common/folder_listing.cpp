#include "common/folder_listing.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "common/local_paths.h"

namespace kestran {

namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// -1, 0 or 1: `a` against `b` with digit runs compared by value.
int NaturalCompare(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && IsDigit(a[ei]))
                ++ei;
            while (ej < b.size() && IsDigit(b[ej]))
                ++ej;
            // Leading zeros do not change the value; then the longer run is larger.
            size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0')
                ++si;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj ? -1 : 1;
            const int digits = a.compare(si, ei - si, b, sj, ej - sj);
            if (digits != 0)
                return digits < 0 ? -1 : 1;
            i = ei;
            j = ej;
            continue;
        }
        const char ca = LowerAscii(a[i]), cb = LowerAscii(b[j]);
        if (ca != cb)
            return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size())
        return 1;
    if (j < b.size())
        return -1;
    return 0;
}

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
    const int order = NaturalCompare(a, b);
    return order != 0 ? order < 0 : a < b;
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& filter) {
    const size_t dot = filter.find_last_of('.');
    const std::string wanted = dot == std::string::npos ? filter : filter.substr(dot + 1);

    std::vector<std::string> files;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return files;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;  // hidden files, "." and ".."
        const size_t name_dot = name.find_last_of('.');
        std::string ext = name_dot == std::string::npos ? name : name.substr(name_dot + 1);
        for (char& c : ext)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        if (ext != wanted)
            continue;
        // Only regular files: a pipe or a device named "x.pdf" would block or
        // never end when opened, a dangling link cannot be opened at all.
        const std::string path = folder + "/" + name;
        if (IsFile(path))
            files.push_back(path);
    }
    std::sort(files.begin(), files.end(), NaturalLess);
    return files;
}

bool IsWritableFolder(const std::string& folder)
{
    struct stat st {};
    if (folder.empty() || stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace kestran
