#include "window/base/user_prompt.h"

#include <wx/dirdlg.h>
#include <wx/filedlg.h>
#include <wx/app.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/process.h>
#include <wx/utils.h>
#include <wx/msgdlg.h>
#include <wx/stockitem.h>
#include <wx/textdlg.h>
#include <wx/valtext.h>

#include "common/app_util.h"

namespace {

UserPrompt::Responder* g_responder = nullptr;

}  // namespace

void UserPrompt::SetResponder(Responder* responder)
{
    g_responder = responder;
}

UserPrompt::Responder* UserPrompt::GetResponder()
{
    return g_responder;
}

void UserPrompt::Message(const wxString& text, wxWindow* parent)
{
    if (g_responder != nullptr) {
        g_responder->OnMessage(text, false);
        return;
    }
    wxMessageDialog dialog(parent, text, AppUtil::GetProductName(), wxOK | wxICON_INFORMATION | wxCENTRE);
    // GTK's own button texts follow only the system locale; wx's catalogue
    // has them in the language the user chose.
    dialog.SetOKLabel(wxGetStockLabel(wxID_OK));
    dialog.ShowModal();
}

bool UserPrompt::Confirm(const wxString& text, wxWindow* parent)
{
    if (g_responder != nullptr)
        return g_responder->OnMessage(text, true);
    wxMessageDialog dialog(parent, text, AppUtil::GetProductName(), wxOK | wxCANCEL | wxICON_INFORMATION | wxCENTRE);
    dialog.SetOKCancelLabels(wxGetStockLabel(wxID_OK), wxGetStockLabel(wxID_CANCEL));
    return dialog.ShowModal() != wxID_CANCEL;
}

wxArrayString UserPrompt::ChooseFiles(const wxString& message, const wxString& start_dir, const wxString& wildcard,
                                      wxWindow* parent)
{
    if (g_responder != nullptr)
        return g_responder->OnChooseFiles(message, start_dir, wildcard);
    wxFileDialog dialog(parent, message, start_dir, wxString(), wildcard,
                        wxFD_OPEN | wxFD_MULTIPLE | wxFD_FILE_MUST_EXIST);
    wxArrayString paths;
    if (dialog.ShowModal() == wxID_OK)
        dialog.GetPaths(paths);
    return paths;
}

wxString UserPrompt::ChooseFolder(const wxString& message, const wxString& start_dir, wxWindow* parent)
{
    if (g_responder != nullptr)
        return g_responder->OnChooseFolder(message, start_dir);
    // Without wxDD_DIR_MUST_EXIST the chooser offers to create a folder.
    wxDirDialog dialog(parent, message, start_dir, wxDD_DEFAULT_STYLE);
    return dialog.ShowModal() == wxID_OK ? dialog.GetPath() : wxString();
}

namespace {

// Watches one xdg-open; it ends quickly (it hands the target over to the
// desktop's program) and its status says whether that worked. Deletes
// itself when the process ends.
class LaunchWatch : public wxProcess {
public:
    explicit LaunchWatch(const wxString& target) : target_(target) {}
    void OnTerminate(int /*pid*/, int status) override
    {
        if (status != 0)
            ReportFailure(target_);
        delete this;
    }
    static void ReportFailure(const wxString& target)
    {
        // After the event that started it has been handled.
        wxTheApp->CallAfter([target] { UserPrompt::Message(wxString::Format(_("Could not open %s: the desktop has no program for it."), target)); });
    }

private:
    wxString target_;
};

void Launch(const wxString& target)
{
    if (g_responder != nullptr) {
        g_responder->OnOpenAddress(target);
        return;
    }
    auto* watch = new LaunchWatch(target);
    const wxString program = "xdg-open";
    const wchar_t* argv[] = {program.wc_str(), target.wc_str(), nullptr};
    wxLogNull quiet;  // a failure is told in the program's own words
    if (wxExecute(argv, wxEXEC_ASYNC, watch) == 0) {
        delete watch;
        LaunchWatch::ReportFailure(target);
    }
}

}  // namespace

void UserPrompt::OpenAddress(const wxString& address)
{
    if (address.empty()) {
        // The web addresses come from the option file, which may be missing.
        Message(wxString::Format(_("This web address is missing: the file %s holds none."), "option.cfg"));
        return;
    }
    Launch(address);
}

void UserPrompt::OpenFolder(const wxString& path)
{
    if (!path.empty())
        Launch(path);
}

bool UserPrompt::AskText(const wxString& message, const wxString& initial, const wxString& refused_chars,
                         const TextCheck& check, wxString* text)
{
    if (g_responder != nullptr) {
        wxString answer;
        for (;;) {
            if (!g_responder->OnAskText(message, initial, &answer))
                return false;
            // What the character filter would have kept out never arrives.
            wxString typed;
            for (const wxUniChar c : answer)
                if (refused_chars.Find(c) == wxNOT_FOUND)
                    typed += c;
            if (!check || check(typed)) {
                *text = typed;
                return true;
            }
        }
    }
    wxTextEntryDialog dialog(nullptr, message, AppUtil::GetProductName(), initial, wxOK | wxCANCEL | wxCENTRE);
    wxTextValidator filter(wxFILTER_EXCLUDE_CHAR_LIST);
    filter.SetCharExcludes(refused_chars);
    dialog.SetTextValidator(filter);
    // OK closes only a text the check takes; otherwise the entry stays open.
    dialog.Bind(
        wxEVT_BUTTON,
        [&](wxCommandEvent& event) {
            if (!check || check(dialog.GetValue()))
                event.Skip();
        },
        wxID_OK);
    if (dialog.ShowModal() != wxID_OK)
        return false;
    *text = dialog.GetValue();
    return true;
}
