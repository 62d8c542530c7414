// The Preference dialog: a notebook of settings pages with "Save" and
// "Reset". The dialog tells its pages what to do through notifications, so a
// page never needs to know the dialog.
#ifndef KESTRAN_WINDOW_PREFERENCE_DIALOG_H
#define KESTRAN_WINDOW_PREFERENCE_DIALOG_H

#include <wx/dialog.h>

#include "domain/kel_observer.h"
#include "domain/kel_subject.h"

class wxNotebook;

class PreferenceDialog : public wxDialog, public KelObserver, public KelSubject {
public:
    enum : int { SaveId = 1, ResetId = 2 };

    PreferenceDialog(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos = wxDefaultPosition,
                     const wxSize& size = wxSize(400, 440),
                     long style = wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxMAXIMIZE_BOX | wxRESIZE_BORDER);

    // The notebook the pages are created on.
    wxNotebook* GetBook() const { return book_; }
    void Update(KelSubject* subject, void* payload) override;
    using wxDialog::Update;

    // What the two buttons do. Save closes the dialog unless a page vetoes.
    void Save();
    void Reset();

private:
    void OnSave(wxCommandEvent& event);
    void OnReset(wxCommandEvent& event);

    wxNotebook* book_ = nullptr;

    wxDECLARE_EVENT_TABLE();
};

#endif
