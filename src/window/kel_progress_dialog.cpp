#include "window/kel_progress_dialog.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/intl.h>
#include <wx/panel.h>
#include <wx/stattext.h>

#include "common/app_util.h"
#include "domain/app_events.h"
#include "domain/domain_option.h"
#include "domain/update_check.h"
#include "window/user_prompt.h"

wxIMPLEMENT_DYNAMIC_CLASS(KelProgressDialog, wxDialog);

wxBEGIN_EVENT_TABLE(KelProgressDialog, wxDialog)
    EVT_BUTTON(KelProgressDialog::CancelId, KelProgressDialog::OnCancel)
    EVT_BUTTON(KelProgressDialog::OkId, KelProgressDialog::OnOk)
    EVT_CLOSE(KelProgressDialog::OnCloseWindow)
    EVT_COMMAND(wxID_ANY, EVT_UPDATE_CHECKED, KelProgressDialog::OnChecked)
wxEND_EVENT_TABLE()

namespace {
constexpr int kPulseMs = 80;
}  // namespace

KelProgressDialog::KelProgressDialog() : pulse_(this) {}

KelProgressDialog::KelProgressDialog(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos,
                                     const wxSize& size, long style)
    : pulse_(this)
{
    Create(parent, id, title, pos, size, style);
}

KelProgressDialog::~KelProgressDialog()
{
    pulse_.Stop();
    // A check still running must not answer a dialog that is gone.
    if (run_)
        run_->Detach();
}

bool KelProgressDialog::Create(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos,
                               const wxSize& size, long style)
{
    if (!wxDialog::Create(parent, id, title, pos, size, style))
        return false;
    run_ = std::make_shared<UpdateRunRecord>(this);
    auto* panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, GetClientSize(), wxTAB_TRAVERSAL | wxBORDER_NONE);
    first_line_ = new wxStaticText(panel, wxID_ANY, _("Connecting server"), wxPoint(10, 20));
    const int line = first_line_->GetSize().y;
    second_line_ = new wxStaticText(panel, wxID_ANY, wxString(), wxPoint(10, line + 40));
    second_line_->Hide();
    gauge_ = new wxGauge(panel, wxID_ANY, 100, wxPoint(20, line + 50), wxSize(size.x - 40, 16), wxGA_HORIZONTAL);
    gauge_->Pulse();
    cancel_ = new wxButton(panel, CancelId, _("Cancel"));
    ok_ = new wxButton(panel, OkId, _("Ok"));
    ok_->Hide();
    const wxSize client = GetClientSize();
    cancel_->Move(client.x - cancel_->GetSize().x - 20, client.y - cancel_->GetSize().y - 16);
    ok_->Move(cancel_->GetPosition().x - (ok_->GetSize().x + 10), cancel_->GetPosition().y);
    Bind(wxEVT_TIMER, &KelProgressDialog::OnPulse, this, pulse_.GetId());
    return true;
}

bool KelProgressDialog::IsChecking() const
{
    return run_ && !run_->start.load();
}

bool KelProgressDialog::Show(bool show)
{
    const bool changed = wxDialog::Show(show);
    if (show && run_ && run_->start.load()) {
        ShowChecking();
        if (!StartUpdateCheck(run_)) {
            // No worker: say so at once, as a failed check does.
            wxCommandEvent failed(EVT_UPDATE_CHECKED, GetId());
            OnChecked(failed);
        }
    }
    return changed;
}

void KelProgressDialog::ShowChecking()
{
    // Each check starts from the same face, in the language now in use.
    SetTitle(_("Check for Update"));
    first_line_->SetLabel(_("Connecting server"));
    second_line_->Hide();
    ok_->Hide();
    ok_->SetLabel(_("Ok"));
    cancel_->SetLabel(_("Cancel"));
    gauge_->Show();
    gauge_->Pulse();
    pulse_.Start(kPulseMs);
}

void KelProgressDialog::OnPulse(wxTimerEvent& /*event*/)
{
    gauge_->Pulse();
}

void KelProgressDialog::OnChecked(wxCommandEvent& event)
{
    pulse_.Stop();
    const wxString version = event.GetString();
    const wxString product = AppUtil::GetProductName();
    if (version.empty()) {
        first_line_->SetLabel(_("Update failed! Please check if the network is available."));
        second_line_->SetLabel(wxString());
        ok_->Hide();
    } else if (CompareVersions(AppUtil::GetVersion(), version) < 0) {
        first_line_->SetLabel(wxString::Format(_("A new version of %s (%s) is available."), product, version));
        second_line_->SetLabel(_("Click Ok to open download page."));
        ok_->Show();
    } else {
        first_line_->SetLabel(wxString::Format(_("This version of %s (%s)"), product, AppUtil::GetVersion()));
        second_line_->SetLabel(_("is the latest version."));
        ok_->Hide();
    }
    first_line_->SetSize(first_line_->GetBestSize());
    gauge_->SetValue(0);
    gauge_->Hide();
    second_line_->SetSize(second_line_->GetBestSize());
    second_line_->Show();
    if (run_)
        run_->start.store(true);  // the next showing checks again
}

void KelProgressDialog::OnCancel(wxCommandEvent& /*event*/)
{
    wxDialog::Show(false);
}

void KelProgressDialog::OnOk(wxCommandEvent& /*event*/)
{
    UserPrompt::OpenAddress(DomainOption::GetUrl("url:product"));
    wxDialog::Show(false);
}

void KelProgressDialog::OnCloseWindow(wxCloseEvent& /*event*/)
{
    // Kept for the whole run: the next "Check for Update" shows it again.
    wxDialog::Show(false);
}
