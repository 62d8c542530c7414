#include "window/base/pim_menu_bar.h"

#include <algorithm>

#include <wx/control.h>
#include <wx/dcbuffer.h>
#include <wx/menu.h>

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>

#include "window/base/pim_menu_button.h"

namespace {

// The open menu grabs the pointer: it sees every move, also over the titles,
// in screen coordinates.
gboolean OnMenuMotion(GtkWidget* /*menu*/, GdkEventMotion* event, gpointer data)
{
    auto* bar = static_cast<PIMMenuBar*>(data);
    const int title = bar->TitleAt(wxPoint(static_cast<int>(event->x_root), static_cast<int>(event->y_root)));
    if (title < 0)
        bar->SwitchTo(-1);
    else if (title == bar->GetOpenTitle())
        bar->SwitchTo(-2);
    else
        bar->SwitchTo(title);
    return FALSE;  // the menu goes on handling the move
}

// Left and Right move to the neighbouring menu, unless Right opens the
// submenu of the item that is selected.
gboolean OnMenuKey(GtkWidget* menu, GdkEventKey* event, gpointer data)
{
    auto* bar = static_cast<PIMMenuBar*>(data);
    int step = 0;
    if (event->keyval == GDK_KEY_Left || event->keyval == GDK_KEY_KP_Left)
        step = -1;
    else if (event->keyval == GDK_KEY_Right || event->keyval == GDK_KEY_KP_Right)
        step = 1;
    if (step == 0)
        return FALSE;
    if (step > 0) {
        GtkWidget* item = gtk_menu_shell_get_selected_item(GTK_MENU_SHELL(menu));
        if (item != nullptr && GTK_IS_MENU_ITEM(item) && gtk_menu_item_get_submenu(GTK_MENU_ITEM(item)) != nullptr)
            return FALSE;
    }
    bar->SwitchTo(bar->Neighbour(bar->GetOpenTitle(), step));
    return TRUE;
}

}  // namespace

PIMMenuBar::~PIMMenuBar() = default;

bool PIMMenuBar::Create(const wxBitmap* skin, wxWindow* parent, wxWindowID id, const wxPoint& pos)
{
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!wxPanel::Create(parent, id, pos, wxDefaultSize, wxBORDER_NONE | wxTAB_TRAVERSAL))
        return false;
    skin_ = skin;
    Bind(wxEVT_PAINT, &PIMMenuBar::OnPaint, this);
    return true;
}

void PIMMenuBar::AddMenu(int title_id, wxMenu* menu, const wxString& label, const wxColour& normal_colour,
                         const wxColour& current_colour)
{
    const wxBitmap skin = skin_ != nullptr ? *skin_ : wxNullBitmap;
    auto* button = new PimMenuButton(this, label, skin, this, title_id, normal_colour, current_colour,
                                     wxPoint(next_x_, next_y_));
    next_x_ += button->GetSize().x;
    SetSize(next_x_, button->GetSize().y);
    titles_.push_back({button, menu});
    button->Bind(wxEVT_BUTTON, &PIMMenuBar::OnTitleClick, this);
}

void PIMMenuBar::Clear()
{
    for (const Title& title : titles_) {
        title.button->Unbind(wxEVT_BUTTON, &PIMMenuBar::OnTitleClick, this);
        title.button->Destroy();
    }
    titles_.clear();
    next_x_ = 0;
    next_y_ = 0;
}

const PIMMenuBar::Title* PIMMenuBar::Find(int title_id) const
{
    for (const Title& title : titles_)
        if (title.button->GetId() == title_id)
            return &title;
    return nullptr;
}

PimMenuButton* PIMMenuBar::GetTitle(int title_id) const
{
    const Title* title = Find(title_id);
    return title != nullptr ? title->button : nullptr;
}

int PIMMenuBar::TitleForMnemonic(int key) const
{
    if (key <= 0 || key > 127 || !wxIsalnum(key))
        return -1;
    for (const Title& title : titles_) {
        const wxString label = title.button->GetLabel();
        wxString plain;
        const int at = wxControl::FindAccelIndex(label, &plain);
        if (at >= 0 && static_cast<size_t>(at) < plain.size() && wxToupper(plain[static_cast<size_t>(at)]) == wxToupper(key))
            return title.button->GetId();
    }
    return -1;
}

int PIMMenuBar::TitleAt(const wxPoint& screen) const
{
    for (const Title& title : titles_) {
        const wxPoint local = title.button->ScreenToClient(screen);
        if (wxRect(title.button->GetClientSize()).Contains(local))
            return title.button->GetId();
    }
    return -1;
}

int PIMMenuBar::Neighbour(int title_id, int step) const
{
    const int count = static_cast<int>(titles_.size());
    for (int i = 0; i < count; ++i)
        if (titles_[static_cast<size_t>(i)].button->GetId() == title_id)
            return titles_[static_cast<size_t>((i + step + count) % count)].button->GetId();
    return -1;
}

void PIMMenuBar::SwitchTo(int title_id)
{
    next_title_ = title_id;
    if (title_id >= 0 && title_id != open_title_ && open_menu_ != nullptr && open_menu_->m_menu != nullptr)
        gtk_menu_popdown(GTK_MENU(open_menu_->m_menu));
}

void PIMMenuBar::OnTitleClick(wxCommandEvent& event)
{
    OpenMenu(event.GetId());
}

void PIMMenuBar::OpenMenu(int title_id)
{
    // A click on the open menu's own title never arrives here: the menu's
    // grab takes it and closes the menu, which then stays closed.
    if (open_menu_ != nullptr)
        return;
    const Title* title = Find(title_id);
    if (title == nullptr || title->menu == nullptr)
        return;
    open_title_ = title_id;
    next_title_ = -1;
    open_menu_ = title->menu;
    PimMenuButton* button = title->button;
    button->SetHoverAllowed(false);
    button->SetHover(true);
    GtkWidget* menu = title->menu->m_menu;
    const gulong motion = g_signal_connect(menu, "motion-notify-event", G_CALLBACK(OnMenuMotion), this);
    const gulong key = g_signal_connect(menu, "key-press-event", G_CALLBACK(OnMenuKey), this);
    PopupMenu(title->menu, button->GetPosition().x, button->GetPosition().y + button->GetSize().y + 1);
    g_signal_handler_disconnect(menu, motion);
    g_signal_handler_disconnect(menu, key);
    button->SetHoverAllowed(true);
    button->SetHover(false);
    open_menu_ = nullptr;
    open_title_ = -1;
    // The next menu opens once the closed one has let go of the pointer:
    // popped up at once, it would not get the pointer grab for itself.
    if (next_title_ >= 0) {
        const int next = next_title_;
        CallAfter([this, next] { OpenMenu(next); });
    }
}

void PIMMenuBar::OnPaint(wxPaintEvent& /*event*/)
{
    wxAutoBufferedPaintDC dc(this);
    dc.SetBackground(wxBrush(GetBackgroundColour()));
    dc.Clear();
    if (skin_ != nullptr && skin_->IsOk())
        dc.DrawBitmap(*skin_, 0, 0, true);
}
