// The small window of "Check for Update": "Connecting server" with a pulsing
// bar while a worker asks the update server, then the answer in two lines
// and, when a newer version exists, "Ok" to open the download page. Closing
// it only hides it; showing it again starts a new check.
#ifndef KESTRAN_WINDOW_KEL_PROGRESS_DIALOG_H
#define KESTRAN_WINDOW_KEL_PROGRESS_DIALOG_H

#include <memory>

#include <wx/dialog.h>
#include <wx/timer.h>

class UpdateRunRecord;
class wxButton;
class wxGauge;
class wxStaticText;

class KelProgressDialog : public wxDialog {
public:
    enum : int { CancelId = 10, OkId = 11 };

    KelProgressDialog();
    KelProgressDialog(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos = wxDefaultPosition,
                      const wxSize& size = wxSize(420, 170), long style = wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX);
    ~KelProgressDialog() override;
    bool Create(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxSize(420, 170), long style = wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX);

    // Shows or hides; showing while no check runs starts one.
    bool Show(bool show = true) override;
    // True from the start of a check until its answer is shown.
    bool IsChecking() const;

    wxStaticText* GetFirstLine() const { return first_line_; }
    wxStaticText* GetSecondLine() const { return second_line_; }
    wxGauge* GetGauge() const { return gauge_; }
    wxButton* GetOkButton() const { return ok_; }
    wxButton* GetCancelButton() const { return cancel_; }

private:
    void ShowChecking();
    // The window's size to what it shows now, never below its first size.
    void FitToContent();
    // What the first line says when a check gave no version.
    static wxString FailureText(int outcome, long http_status);
    void TakeFocus();
    void OnChecked(wxCommandEvent& event);
    void OnCancel(wxCommandEvent& event);
    void OnOk(wxCommandEvent& event);
    void OnCloseWindow(wxCloseEvent& event);
    void OnPulse(wxTimerEvent& event);

    wxStaticText* first_line_ = nullptr;
    wxStaticText* second_line_ = nullptr;
    wxGauge* gauge_ = nullptr;
    wxButton* ok_ = nullptr;
    wxButton* cancel_ = nullptr;
    wxTimer pulse_;
    std::shared_ptr<UpdateRunRecord> run_;

    wxDECLARE_DYNAMIC_CLASS(KelProgressDialog);
    wxDECLARE_EVENT_TABLE();
};

#endif
