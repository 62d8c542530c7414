#include "common/folder_listing.h"

#include <dirent.h>

#include <memory>

#include "common/local_paths.h"

namespace kestran {

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
    return files;
}

}  // namespace kestran
