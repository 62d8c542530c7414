#include "window/base/mox_menu_bar.h"

#include <wx/dcbuffer.h>
#include <wx/dialog.h>
#include <wx/intl.h>
#include <wx/menu.h>
#include <wx/toplevel.h>

#include "window/base/image_util.h"
#include "window/base/pim_menu_bar.h"

namespace {

// `label` with a mnemonic: its first letter or digit that no earlier label of
// the same menu underlines. Labels without such a character (Chinese,
// Japanese) get the English label's letter in brackets after them, "文件(&F)",
// as programs in those languages write it. `used` collects the letters taken.
wxString WithMnemonic(const wxString& label, const wxString& english, wxString* used)
{
    if (label.Find('&') != wxNOT_FOUND)
        return label;
    const auto usable = [used](wxUniChar c) {
        return c.IsAscii() && wxIsalnum(c) && used->Find(wxToupper(c)) == wxNOT_FOUND;
    };
    for (size_t i = 0; i < label.size(); ++i)
        if (usable(label[i])) {
            *used += wxToupper(label[i]);
            return label.Left(i) + "&" + label.Mid(i);
        }
    for (const wxUniChar c : english)
        if (usable(c)) {
            *used += wxToupper(c);
            return label + "(&" + wxString(wxToupper(c)) + ")";
        }
    return label;
}

// Appends an item with a mnemonic and, when given, the shortcut shown beside it.
void AppendItem(wxMenu* menu, int id, const char* english, wxString* used, const wxString& shortcut = wxString())
{
    wxString label = WithMnemonic(wxGetTranslation(english), english, used);
    if (!shortcut.empty())
        label += "\t" + shortcut;
    menu->Append(id, label);
}

}  // namespace

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

    // Shortcuts shown here are the ones HandleKey serves.
    wxString used;
    file_ = std::make_unique<wxMenu>();
    AppendItem(file_.get(), AddFilesId, wxTRANSLATE("Add File(s)..."), &used, "Ctrl+O");
    AppendItem(file_.get(), AddFolderId, wxTRANSLATE("Add Folder..."), &used, "Ctrl+Shift+O");
    file_->AppendSeparator();
    AppendItem(file_.get(), OpenLogFolderId, wxTRANSLATE("Open log file directory"), &used);
    file_->AppendSeparator();
    AppendItem(file_.get(), ExitId, wxTRANSLATE("Exit"), &used, "Ctrl+Q");

    used.clear();
    edit_ = std::make_unique<wxMenu>();
    AppendItem(edit_.get(), DeleteId, wxTRANSLATE("Delete"), &used, "Del");
    AppendItem(edit_.get(), ClearAllId, wxTRANSLATE("Clear All"), &used);
    edit_->AppendSeparator();
    AppendItem(edit_.get(), SelectAllId, wxTRANSLATE("Select All"), &used);
    AppendItem(edit_.get(), SelectInvertId, wxTRANSLATE("Select Invert"), &used);
    edit_->AppendSeparator();
    AppendItem(edit_.get(), PreferenceId, wxTRANSLATE("Preference"), &used);

    used.clear();
    help_ = std::make_unique<wxMenu>();
    AppendItem(help_.get(), HelpId, wxTRANSLATE("Help"), &used);
    language_menu_ = new wxMenu;
    for (const OfferedLanguage& language : OfferedLanguages()) {
        language_menu_->AppendCheckItem(language.id, wxString::FromUTF8(language.label));
        language_menu_->Check(language.id, language.id == GetLanguage());
    }
    help_->AppendSubMenu(language_menu_, WithMnemonic(_("Language"), "Language", &used));
    help_->AppendSeparator();
    AppendItem(help_.get(), SupportId, wxTRANSLATE("Support"), &used);
    help_->AppendSeparator();
    AppendItem(help_.get(), CheckUpdateId, wxTRANSLATE("Check for Update"), &used);
    help_->AppendSeparator();
    AppendItem(help_.get(), AboutId, wxTRANSLATE("About"), &used);

    const wxColour normal = ImageUtil::FaceColour("/face/menu/text-normal-colour");
    const wxColour current = ImageUtil::FaceColour("/face/menu/text-current-colour");
    used.clear();
    titles_->AddMenu(FileTitleId, file_.get(), WithMnemonic(_("File"), "File", &used), normal, current);
    titles_->AddMenu(EditTitleId, edit_.get(), WithMnemonic(_("Edit"), "Edit", &used), normal, current);
    titles_->AddMenu(HelpTitleId, help_.get(), WithMnemonic(_("Help"), "Help", &used), normal, current);
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

bool MoxMenuBar::HandleKey(const wxKeyEvent& event)
{
    const int key = event.GetKeyCode();
    const int modifiers = event.GetModifiers();
    int title = -1;
    if (key == WXK_F10 && modifiers == wxMOD_NONE)
        title = FileTitleId;
    else if (modifiers == wxMOD_ALT)
        title = titles_->TitleForMnemonic(key);
    if (title >= 0) {
        // Opened once the key has been handled: the menu runs its own loop.
        CallAfter([this, title] { titles_->OpenMenu(title); });
        return true;
    }
    int command = -1;
    if ((key == 'O' || key == 'o') && modifiers == wxMOD_CONTROL)
        command = AddFilesId;
    else if ((key == 'O' || key == 'o') && modifiers == (wxMOD_CONTROL | wxMOD_SHIFT))
        command = AddFolderId;
    else if ((key == 'Q' || key == 'q') && modifiers == wxMOD_CONTROL)
        command = ExitId;
    if (command < 0)
        return false;
    // A shortcut does what its menu item does, and nothing while that is off.
    if (IsCommandEnabled(command))
        CallAfter([this, command] { RunCommand(command); });
    return true;
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

void MoxMenuBar::SetDialogs(std::function<void(wxWindow* parent)> show_about,
                            std::function<wxDialog*(wxWindow* parent)> make_update)
{
    show_about_ = std::move(show_about);
    make_update_ = std::move(make_update);
}

void MoxMenuBar::OnAbout()
{
    if (show_about_)
        show_about_(wxGetTopLevelParent(this));
}

void MoxMenuBar::OnCheckUpdate()
{
    // Made once, on first use, and kept: it is only ever hidden.
    if (update_window_ == nullptr && make_update_)
        update_window_ = make_update_(wxGetTopLevelParent(this));
    if (update_window_ == nullptr)
        return;
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
