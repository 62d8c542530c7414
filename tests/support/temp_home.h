// A fresh, empty HOME for one test: the program's per-user files (Documents,
// settings, logs) go into a temporary folder instead of the real home.
//
//   TempHome home;                    // HOME=/tmp/kestran-home-XXXXXX
//   home.MakeDocuments();             // $HOME/Documents
//   ...                               // destructor restores HOME and removes the folder
//
// XDG_CONFIG_HOME is cleared for the lifetime of the object, so only
// $HOME/.config/user-dirs.dirs (see WriteUserDirs) can name a documents folder.
#ifndef KESTRAN_TESTS_SUPPORT_TEMP_HOME_H
#define KESTRAN_TESTS_SUPPORT_TEMP_HOME_H

#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <wx/string.h>

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    // The temporary home folder, without trailing "/".
    const wxString& Path() const { return path_; }
    // Creates $HOME/Documents (the folder the program uses without XDG
    // configuration) and returns it.
    wxString MakeDocuments() const;
    // Writes $HOME/.config/user-dirs.dirs with XDG_DOCUMENTS_DIR="<value>";
    // `value` may use $HOME as the file format allows.
    void WriteUserDirs(const wxString& value) const;

    // Helpers for tests that work with real files below the home folder.
    static bool WriteFile(const wxString& path, const std::string& bytes);
    static std::string ReadFile(const wxString& path);  // "" when missing
    static bool MakeDirs(const wxString& path);          // with parents

private:
    wxString path_;
    std::optional<std::string> old_home_;
    std::optional<std::string> old_xdg_config_;
};

// Fixture: every test of a suite derived from it runs in its own temporary home.
class TempHomeTest : public ::testing::Test {
protected:
    TempHome home_;
};

#endif
