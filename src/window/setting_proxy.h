// The "Proxy Setting" page of the Preference dialog: the HTTP proxy the
// update check goes through. Saved values live until the program ends.
#ifndef KESTRAN_WINDOW_SETTING_PROXY_H
#define KESTRAN_WINDOW_SETTING_PROXY_H

#include <wx/panel.h>

#include "domain/kel_observer.h"
#include "domain/kel_subject.h"

class wxChoice;
class wxTextCtrl;

class SettingProxy : public wxPanel, public KelObserver, public KelSubject {
public:
    SettingProxy(wxWindow* parent, wxWindowID id = wxID_ANY, const wxPoint& pos = wxDefaultPosition,
                 const wxSize& size = wxDefaultSize, long style = wxTAB_TRAVERSAL | wxNO_BORDER);

    // Save stores the fields in the settings store; Reset empties them.
    // Save stores the fields, unless the port is not acceptable: then it says
    // so and sets the veto flag (the payload), which keeps the dialog open.
    void Update(KelSubject* subject, void* payload) override;
    using wxPanel::Update;
    // Empty (no proxy) or a whole number from 1 to 65535.
    static bool IsPortAcceptable(const wxString& port);
    // The keyboard starts in the address field.
    void FocusFirstField();

    wxChoice* GetTypeChoice() const { return type_; }
    wxTextCtrl* GetAddressField() const { return address_; }
    wxTextCtrl* GetPortField() const { return port_; }
    wxTextCtrl* GetUserField() const { return user_; }
    wxTextCtrl* GetPasswordField() const { return password_; }

private:
    wxChoice* type_ = nullptr;
    wxTextCtrl* address_ = nullptr;
    wxTextCtrl* port_ = nullptr;
    wxTextCtrl* user_ = nullptr;
    wxTextCtrl* password_ = nullptr;
};

#endif
