#include "common/user_folders.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "common/local_paths.h"

namespace kestran {
namespace {

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The documents folder user-dirs.dirs names, when it exists; else `home`.
// The file is read as xdg-user-dirs writes it: the first line naming
// XDG_DOCUMENTS_DIR decides, "$HOME" stands for the home folder, quotes go.
std::string XdgDocumentsDir(const std::string& home) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string config_dir = config != nullptr && *config != '\0' ? std::string(config) : home + "/.config";
    std::ifstream in(config_dir + "/user-dirs.dirs");
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

}  // namespace

std::string VendorName() {
    return "Olvarin";
}

std::string ProductName() {
    std::string name = "Olvarin+Kestran";
    std::replace(name.begin(), name.end(), '+', ' ');
    return name;
}

std::string ExeDir() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return std::string();
    return ParentDir(std::string(buffer, static_cast<size_t>(n)));
}

std::string ConfigDirForPrefix(const std::string& prefix) {
    const std::string clean = WithoutTrailingSlash(prefix);
    return (clean == "/usr" ? std::string() : clean) + "/etc/kestran";
}

InstallLayout LayoutForExeDir(const std::string& exe_dir) {
    const std::string prefix = ParentDir(exe_dir);
    const std::string shared = prefix + "/share/kestran";
    const std::string icons = prefix + "/share/icons/hicolor";
    if (IsFolder(shared))
        return {shared, ConfigDirForPrefix(prefix) + "/option.cfg", icons};
    return {prefix, prefix + "/option.cfg", icons};
}

InstallLayout InstalledLayout() {
    return LayoutForExeDir(ExeDir());
}

std::string DocumentsDir() {
    const std::string home_dir = HomeDir();
    const std::string home = WithoutTrailingSlash(home_dir);
    if (home.empty())
        return std::string();
    // The home folder itself is not a documents folder: fall back to ~/Documents.
    const std::string xdg = WithoutTrailingSlash(XdgDocumentsDir(home_dir));
    if (!xdg.empty() && xdg != home && IsFolder(xdg))
        return xdg;
    return home + "/Documents";
}

std::string BuildUserDocDir(const std::string& documents_dir, const std::string& suffix) {
    // A fresh account often has no ~/Documents yet; without it nothing below
    // could be created and the settings would never be saved.
    if (!documents_dir.empty())
        MakeDir(documents_dir);
    std::string path = documents_dir + "/" + VendorName() + suffix;
    MakeDir(path);
    path += "/" + ProductName();
    MakeDir(path);
    return path;
}

std::string UserDocDir(const std::string& suffix) {
    return BuildUserDocDir(DocumentsDir(), suffix);
}

std::string DefaultOutputDir() {
    return UserDocDir(std::string());
}

std::string UserDataDir() {
    return UserDocDir(" files");
}

}  // namespace kestran
