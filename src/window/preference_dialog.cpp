#include "window/preference_dialog.h"

#include <wx/button.h>
#include <wx/intl.h>
#include <wx/notebook.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/stockitem.h>

#include "domain/notify_code.h"

wxBEGIN_EVENT_TABLE(PreferenceDialog, wxDialog)
    EVT_BUTTON(PreferenceDialog::SaveId, PreferenceDialog::OnSave)
    EVT_BUTTON(PreferenceDialog::ResetId, PreferenceDialog::OnReset)
wxEND_EVENT_TABLE()

PreferenceDialog::PreferenceDialog(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos,
                                   const wxSize& size, long style)
    : wxDialog(parent, id, title, pos, size, style)
{
    auto* panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER);
    book_ = new wxNotebook(panel, wxID_ANY);
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(0, 0, 1);
    auto* save = new wxButton(panel, SaveId, _("Save"));
    buttons->Add(save, 0, wxALIGN_BOTTOM | wxALL, 6);
    buttons->Add(new wxButton(panel, ResetId, _("Reset")), 0, wxALIGN_BOTTOM | wxALL, 6);
    // Cancel leaves, as Escape and the close box do, storing nothing; wx's
    // own catalogue gives its label in the language in use.
    buttons->Add(new wxButton(panel, wxID_CANCEL, wxGetStockLabel(wxID_CANCEL)), 0, wxALIGN_BOTTOM | wxALL, 6);
    save->SetDefault();  // Enter in a field saves
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(book_, 1, wxEXPAND | wxALL, 0);
    column->Add(buttons, 0, wxEXPAND | wxALL, 0);
    panel->SetSizer(column);
    auto* whole = new wxBoxSizer(wxVERTICAL);
    whole->Add(panel, 1, wxEXPAND);
    SetSizer(whole);
    Layout();
    SetEscapeId(wxID_CANCEL);  // Escape and the close box store nothing
}

void PreferenceDialog::Update(KelSubject* /*subject*/, void* /*payload*/) {}

void PreferenceDialog::Save()
{
    int veto = 0;
    Send(PreferencesSave, &veto);
    if (veto == 0)
        EndModal(0);
}

void PreferenceDialog::Reset()
{
    Send(PreferencesReset);
}

void PreferenceDialog::OnSave(wxCommandEvent& /*event*/)
{
    Save();
}

void PreferenceDialog::OnReset(wxCommandEvent& /*event*/)
{
    Reset();
}
