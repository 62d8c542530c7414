#include "window/job_summary_dialog.h"

#include <wx/button.h>
#include <wx/intl.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "common/app_util.h"
#include "window/base/user_prompt.h"

JobSummaryDialog::JobSummaryDialog(wxWindow* parent, const Outcome& outcome)
    : wxDialog(parent, wxID_ANY, AppUtil::GetProductName(), wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      folder_(outcome.folder)
{
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    wxString head = wxString::Format(_("Files done: %d of %d"), outcome.done, outcome.files) + "\n" +
                    wxString::Format(_("Images written: %ld"), outcome.images);
    if (outcome.already_there > 0)
        head += "\n" + wxString::Format(_("Images already in the folder: %ld"), outcome.already_there);
    if (outcome.skipped > 0)
        head += "\n" + wxString::Format(_("Images left out: %ld"), outcome.skipped);
    if (outcome.not_started > 0)
        head += "\n" + wxString::Format(_("Not started after Stop: %d"), outcome.not_started);
    sizer->Add(new wxStaticText(this, wxID_ANY, head), 0, wxALL, 12);
    sizer->Add(new wxStaticText(this, wxID_ANY, _("Failed or stopped:")), 0, wxLEFT | wxRIGHT, 12);
    wxString lines;
    for (const wxString& problem : outcome.problems)
        lines += problem + "\n";
    text_ = new wxTextCtrl(this, wxID_ANY, lines, wxDefaultPosition, wxSize(460, 140),
                           wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP);
    sizer->Add(text_, 1, wxEXPAND | wxALL, 12);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    auto* open = new wxButton(this, OpenFolderId, _("Open Folder"));
    auto* close = new wxButton(this, wxID_CLOSE, _("Close"));
    open->Enable(!folder_.empty());
    buttons->Add(open, 0, wxRIGHT, 8);
    buttons->Add(close, 0);
    sizer->Add(buttons, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 12);
    SetSizerAndFit(sizer);
    SetEscapeId(wxID_CLOSE);
    close->SetDefault();
    close->SetFocus();  // not the list: no caret in a text nobody edits

    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { AppUtil::OpenFolder(folder_); }, OpenFolderId);
    // Modeless: closing destroys it rather than ending a modal loop.
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Destroy(); }, wxID_CLOSE);
    Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { Destroy(); });
    if (parent != nullptr)
        CentreOnParent();
}

wxString JobSummaryDialog::GetText() const
{
    wxString text;
    for (wxWindow* child : GetChildren())
        if (auto* label = dynamic_cast<wxStaticText*>(child))
            text += label->GetLabel() + "\n";
    return text + text_->GetValue();
}
