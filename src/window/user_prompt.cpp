#include "window/user_prompt.h"

#include <wx/dirdlg.h>
#include <wx/filedlg.h>
#include <wx/log.h>
#include <wx/utils.h>
#include <wx/msgdlg.h>
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
    wxMessageBox(text, AppUtil::GetProductName(), wxOK | wxICON_INFORMATION | wxCENTRE, parent);
}

bool UserPrompt::Confirm(const wxString& text, wxWindow* parent)
{
    if (g_responder != nullptr)
        return g_responder->OnMessage(text, true);
    wxMessageDialog dialog(parent, text, AppUtil::GetProductName(), wxOK | wxCANCEL | wxICON_INFORMATION | wxCENTRE);
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
    wxDirDialog dialog(parent, message, start_dir, wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
    return dialog.ShowModal() == wxID_OK ? dialog.GetPath() : wxString();
}

void UserPrompt::OpenAddress(const wxString& address)
{
    if (address.empty())
        return;
    if (g_responder != nullptr) {
        g_responder->OnOpenAddress(address);
        return;
    }
    wxLogNull quiet;
    wxLaunchDefaultBrowser(address);
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
