#include "window/base/mox_menu_bar.h"

#include <wx/dcbuffer.h>
#include <wx/intl.h>
#include <wx/menu.h>
#include <wx/toplevel.h>

#include "common/image_util.h"
#include "window/about_dialog.h"
#include "window/kel_progress_dialog.h"
#include "window/base/pim_menu_bar.h"

MoxMenuBar::MoxMenuBar() = default;

MoxMenuBar::~MoxMenuBar()
{
    // The titles point at the menus: they go first.
    if (titles_ != nullptr)
        titles_->Clear();
}

bool MoxMenuBar::Create(std::unique_ptr<wxBitmap> skin, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                        const wxSize& size, long style)
{
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!wxPanel::Create(parent, id, pos, size, style))
        return false;
    skin_ = std::move(skin);
    titles_ = new PIMMenuBar;
    titles_->Create(skin_.get(), this, wxID_ANY, wxPoint(0, 0));
    Bind(wxEVT_PAINT, &MoxMenuBar::OnPaint, this);
    Bind(wxEVT_MENU, &MoxMenuBar::OnMenu, this);
    BuildMenus();
    return true;
}

void MoxMenuBar::BuildMenus()
{
    titles_->Clear();
    language_menu_ = nullptr;

    file_ = std::make_unique<wxMenu>();
    file_->Append(AddFilesId, _("Add File(s)..."));
    file_->Append(AddFolderId, _("Add Folder..."));
    file_->AppendSeparator();
    file_->Append(OpenLogFolderId, _("Open log file directory"));
    file_->AppendSeparator();
    file_->Append(ExitId, _("Exit"));

    edit_ = std::make_unique<wxMenu>();
    edit_->Append(DeleteId, _("Delete"));
    edit_->Append(ClearAllId, _("Clear All"));
    edit_->AppendSeparator();
    edit_->Append(SelectAllId, _("Select All"));
    edit_->Append(SelectInvertId, _("Select Invert"));
    edit_->AppendSeparator();
    edit_->Append(PreferenceId, _("Preference"));

    help_ = std::make_unique<wxMenu>();
    help_->Append(HelpId, _("Help"));
    language_menu_ = new wxMenu;
    for (const OfferedLanguage& language : OfferedLanguages()) {
        language_menu_->AppendCheckItem(language.id, wxString::FromUTF8(language.label));
        language_menu_->Check(language.id, language.id == GetLanguage());
    }
    help_->AppendSubMenu(language_menu_, _("Language"));
    help_->AppendSeparator();
    help_->Append(SupportId, _("Support"));
    help_->AppendSeparator();
    help_->Append(CheckUpdateId, _("Check for Update"));
    help_->AppendSeparator();
    help_->Append(AboutId, _("About"));

    const wxColour normal = ImageUtil::FaceColour("/face/menu/text-normal-colour");
    const wxColour current = ImageUtil::FaceColour("/face/menu/text-current-colour");
    titles_->AddMenu(FileTitleId, file_.get(), _("File"), normal, current);
    titles_->AddMenu(EditTitleId, edit_.get(), _("Edit"), normal, current);
    titles_->AddMenu(HelpTitleId, help_.get(), _("Help"), normal, current);
    EnableCommands(commands_enabled_);
}

void MoxMenuBar::Relabel()
{
    // Chosen from an open menu: rebuild once that menu is gone.
    if (titles_->GetOpenTitle() >= 0) {
        CallAfter([this] { Relabel(); });
        return;
    }
    BuildMenus();
    Refresh();
}

void MoxMenuBar::EnableCommands(bool enable)
{
    commands_enabled_ = enable;
    for (int id : {AddFilesId, AddFolderId})
        file_->Enable(id, enable);
    for (int id : {DeleteId, ClearAllId, SelectAllId, SelectInvertId, PreferenceId})
        edit_->Enable(id, enable);
    if (language_menu_ != nullptr)
        for (const OfferedLanguage& language : OfferedLanguages())
            language_menu_->Enable(language.id, enable);
}

bool MoxMenuBar::IsCommandEnabled(int id) const
{
    for (const wxMenu* menu : {file_.get(), edit_.get(), help_.get()}) {
        wxMenu* owner = nullptr;
        if (const wxMenuItem* item = menu->FindItem(id, &owner); item != nullptr)
            return item->IsEnabled();
    }
    return false;
}

void MoxMenuBar::Update(KelSubject* subject, void* /*payload*/)
{
    if (subject == nullptr)
        return;
    switch (subject->GetCode()) {
    case LockOptions:
    case ListBusy:
        EnableCommands(false);
        break;
    case UnlockOptions:
    case ListIdle:
        EnableCommands(true);
        break;
    default:
        break;
    }
}

void MoxMenuBar::OnAbout()
{
    AboutDialog about(wxGetTopLevelParent(this));
    about.ShowModal();
}

void MoxMenuBar::OnCheckUpdate()
{
    // Made once, on first use, and kept: it is only ever hidden.
    if (update_window_ == nullptr)
        update_window_ = new KelProgressDialog(wxGetTopLevelParent(this), wxID_ANY, _("Check for Update"));
    update_window_->CentreOnScreen(wxBOTH);
    update_window_->Show();
    update_window_->Raise();
}

void MoxMenuBar::OnMenu(wxCommandEvent& event)
{
    if (!RunCommand(event.GetId()))
        event.Skip();
}

void MoxMenuBar::OnPaint(wxPaintEvent& /*event*/)
{
    wxAutoBufferedPaintDC dc(this);
    dc.SetBackground(wxBrush(GetBackgroundColour()));
    dc.Clear();
    if (skin_ && skin_->IsOk())
        dc.DrawBitmap(*skin_, 0, 0, true);
}
