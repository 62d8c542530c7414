#include "support/temp_home.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <fstream>
#include <iterator>
#include <vector>

#include <wx/filename.h>

namespace {

std::optional<std::string> GetEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

void RestoreEnv(const char* name, const std::optional<std::string>& value) {
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

}  // namespace

TempHome::TempHome() : old_home_(GetEnv("HOME")), old_xdg_config_(GetEnv("XDG_CONFIG_HOME")) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestran-home-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        ADD_FAILURE() << "cannot create a temporary home below " << pattern;
        return;
    }
    path_ = wxString::FromUTF8(buffer.data());
    setenv("HOME", buffer.data(), 1);
    unsetenv("XDG_CONFIG_HOME");
}

TempHome::~TempHome() {
    RestoreEnv("HOME", old_home_);
    RestoreEnv("XDG_CONFIG_HOME", old_xdg_config_);
    // remove_all does not follow symbolic links out of the folder.
    if (!path_.empty() && path_.StartsWith("/") && path_.Contains("kestran-home-")) {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::u8path(path_.utf8_string()), ignored);
    }
}

wxString TempHome::MakeDocuments() const {
    const wxString documents = path_ + "/Documents";
    MakeDirs(documents);
    return documents;
}

void TempHome::WriteUserDirs(const wxString& value) const {
    MakeDirs(path_ + "/.config");
    WriteFile(path_ + "/.config/user-dirs.dirs",
              std::string("XDG_DOCUMENTS_DIR=\"") + value.utf8_string() + "\"\n");
}

bool TempHome::WriteFile(const wxString& path, const std::string& bytes) {
    std::ofstream out(path.utf8_string(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string TempHome::ReadFile(const wxString& path) {
    std::ifstream in(path.utf8_string(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TempHome::MakeDirs(const wxString& path) {
    return wxFileName::Mkdir(path, 0777, wxPATH_MKDIR_FULL);
}
