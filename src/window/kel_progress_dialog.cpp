#include "window/kel_progress_dialog.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/intl.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/stockitem.h>

#include "common/app_util.h"
#include "domain/app_events.h"
#include "domain/domain_option.h"
#include "domain/update_check.h"
#include "window/base/user_prompt.h"

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
    auto* panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxBORDER_NONE);
    first_line_ = new wxStaticText(panel, wxID_ANY, _("Connecting server"));
    second_line_ = new wxStaticText(panel, wxID_ANY, wxString());
    second_line_->Hide();
    gauge_ = new wxGauge(panel, wxID_ANY, 100, wxDefaultPosition, wxSize(size.x - 40, 16), wxGA_HORIZONTAL);
    gauge_->Pulse();
    cancel_ = new wxButton(panel, CancelId, wxGetStockLabel(wxID_CANCEL));
    ok_ = new wxButton(panel, OkId, _("Ok"));
    ok_->Hide();
    // Laid out by sizers, so the buttons keep their room whatever the texts'
    // length in the language in use; the window grows to its content.
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->AddStretchSpacer();
    buttons->Add(ok_, 0, wxRIGHT, 10);
    buttons->Add(cancel_);
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(first_line_, 0, wxLEFT | wxRIGHT | wxTOP, 16);
    column->Add(second_line_, 0, wxLEFT | wxRIGHT | wxTOP, 16);
    column->Add(gauge_, 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 20);
    column->AddStretchSpacer();
    column->Add(buttons, 0, wxEXPAND | wxALL, 16);
    panel->SetSizer(column);
    auto* whole = new wxBoxSizer(wxVERTICAL);
    whole->Add(panel, 1, wxEXPAND);
    SetSizer(whole);
    SetMinClientSize(size);
    FitToContent();
    Bind(wxEVT_TIMER, &KelProgressDialog::OnPulse, this, pulse_.GetId());
    SetEscapeId(CancelId);  // Escape hides the window as Cancel does
    return true;
}

bool KelProgressDialog::IsChecking() const
{
    return run_ && !run_->start.load();
}

bool KelProgressDialog::Show(bool show)
{
    const bool changed = wxDialog::Show(show);
    if (show)
        TakeFocus();
    if (show && run_ && run_->start.load() && DomainOption::GetUrl("url:update").empty()) {
        // Nothing to ask: the option file holds no update address.
        pulse_.Stop();
        first_line_->SetLabel(wxString::Format(_("This web address is missing: the file %s holds none."), "option.cfg"));
        second_line_->Hide();
        gauge_->Hide();
        ok_->Hide();
        cancel_->SetLabel(wxGetStockLabel(wxID_OK));
        FitToContent();
        TakeFocus();
        return changed;
    }
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
    cancel_->SetLabel(wxGetStockLabel(wxID_CANCEL));
    gauge_->Show();
    gauge_->Pulse();
    pulse_.Start(kPulseMs);
    FitToContent();
}

void KelProgressDialog::FitToContent()
{
    Layout();
    GetSizer()->SetSizeHints(this);
    Fit();
}

wxString KelProgressDialog::FailureText(int outcome, long http_status)
{
    switch (outcome) {
    case UpdateServerError:
        return wxString::Format(_("The update server answered with an error (HTTP %ld)."), http_status);
    case UpdateNotUpdateFile:
        return _("The update server's answer is not an update file for this program.");
    default:
        return _("Update failed! Please check if the network is available.");
    }
}

void KelProgressDialog::TakeFocus()
{
    // The window is a top-level of its own: it is brought forward and its
    // main button takes the keyboard, so Enter answers it.
    wxButton* button = ok_->IsShown() ? ok_ : cancel_;
    button->SetDefault();
    Raise();
    button->SetFocus();
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
    bool newer = false;
    if (version.empty()) {
        first_line_->SetLabel(FailureText(event.GetInt(), event.GetExtraLong()));
        second_line_->SetLabel(wxString());
    } else if (CompareVersions(AppUtil::GetVersion(), version) < 0) {
        first_line_->SetLabel(wxString::Format(_("A new version of %s (%s) is available."), product, version));
        second_line_->SetLabel(_("Click Ok to open download page."));
        newer = true;
    } else {
        // One sentence on one line; the two halves are joined without a
        // blank where the language writes none (Chinese, Japanese).
        const wxString start = wxString::Format(_("This version of %s (%s)"), product, AppUtil::GetVersion());
        const wxString end = _("is the latest version.");
        const bool blank = !start.empty() && start.Last().IsAscii();
        first_line_->SetLabel(start + (blank ? " " : "") + end);
        second_line_->SetLabel(wxString());
    }
    ok_->Show(newer);
    // Nothing to decide without a newer version: the one button says OK.
    cancel_->SetLabel(wxGetStockLabel(newer ? wxID_CANCEL : wxID_OK));
    gauge_->SetValue(0);
    gauge_->Hide();
    second_line_->Show(!second_line_->GetLabel().empty());
    FitToContent();
    if (run_)
        run_->start.store(true);  // the next showing checks again
    if (IsShown())
        TakeFocus();
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
