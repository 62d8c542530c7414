#include "window/setting_proxy.h"

#include <wx/choice.h>
#include <wx/gbsizer.h>
#include <wx/intl.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/toplevel.h>
#include <wx/valtext.h>

#include "domain/domain_config.h"
#include "domain/notify_code.h"
#include "window/base/user_prompt.h"

SettingProxy::SettingProxy(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size, long style)
    : wxPanel(parent, id, pos, size, style)
{
    const wxString labels[] = {_("Proxy type:"), _("Proxy Address:"), _("Proxy Port:"), _("User Name:"),
                               _("Password:")};
    type_ = new wxChoice(this, wxID_ANY);
    type_->Append("HTTP");
    type_->SetSelection(0);
    const DomainConfig::ProxySettings stored =
        g_domain_config != nullptr ? g_domain_config->GetProxy() : DomainConfig::ProxySettings();
    address_ = new wxTextCtrl(this, wxID_ANY, stored.address);
    port_ = new wxTextCtrl(this, wxID_ANY, stored.port);
    // Digits only; the range is checked on Save.
    port_->SetValidator(wxTextValidator(wxFILTER_DIGITS));
    port_->SetMaxLength(5);
    // The stored name and password are filled in (the password masked), so
    // that saving again keeps them.
    user_ = new wxTextCtrl(this, wxID_ANY, stored.user);
    password_ = new wxTextCtrl(this, wxID_ANY, stored.password, wxDefaultPosition, wxDefaultSize, wxTE_PASSWORD);

    wxWindow* controls[] = {type_, address_, port_, user_, password_};
    auto* grid = new wxGridBagSizer(4, 4);
    for (int row = 0; row < 5; ++row) {
        // Labels centred on their control's line; controls take the width.
        grid->Add(new wxStaticText(this, wxID_ANY, labels[row]), wxGBPosition(row, 0), wxGBSpan(1, 1),
                  wxALIGN_CENTER_VERTICAL | wxLEFT | wxRIGHT, 10);
        grid->Add(controls[row], wxGBPosition(row, 1), wxGBSpan(1, 3), wxEXPAND | wxLEFT | wxRIGHT, 10);
    }
    grid->AddGrowableRow(1);
    grid->AddGrowableCol(1);
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->AddSpacer(20);
    column->Add(grid, 0, wxEXPAND | wxLEFT | wxRIGHT, 0);
    column->AddSpacer(6);
    SetSizer(column);
}

bool SettingProxy::IsPortAcceptable(const wxString& port)
{
    if (port.empty())
        return true;  // no proxy
    unsigned long value = 0;
    return port.size() <= 5 && port.IsNumber() && port.ToULong(&value) && value >= 1 && value <= 65535;
}

void SettingProxy::FocusFirstField()
{
    address_->SetFocus();
}

void SettingProxy::Update(KelSubject* subject, void* payload)
{
    if (subject == nullptr)
        return;
    switch (subject->GetCode()) {
    case PreferencesSave:
        if (!IsPortAcceptable(port_->GetValue())) {
            // Refused with its reason; the dialog stays open on the field.
            if (payload != nullptr)
                *static_cast<int*>(payload) = 1;
            UserPrompt::Message(_("The proxy port must be a number from 1 to 65535."), wxGetTopLevelParent(this));
            port_->SetFocus();
            port_->SelectAll();
            break;
        }
        if (g_domain_config != nullptr) {
            DomainConfig::ProxySettings proxy;
            proxy.type = wxString();  // one type only: HTTP
            proxy.address = address_->GetValue();
            proxy.port = port_->GetValue();
            proxy.user = user_->GetValue();
            proxy.password = password_->GetValue();
            g_domain_config->SetProxy(proxy);
        }
        break;
    case PreferencesReset:
        for (wxTextCtrl* field : {address_, port_, user_, password_})
            field->ChangeValue(wxString());
        Refresh();
        break;
    default:
        break;
    }
}
