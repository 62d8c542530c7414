// The menu strip of the main window: File, Edit and Help (with the Language
// submenu) as skinned titles. Commands that change the list are switched off
// while files load or a job runs.
#ifndef KESTRAN_WINDOW_BASE_MOX_MENU_BAR_H
#define KESTRAN_WINDOW_BASE_MOX_MENU_BAR_H

#include <functional>
#include <memory>

#include <wx/bitmap.h>
#include <wx/panel.h>

#include "window/base/tav_menu_bar_base.h"

class KelProgressDialog;
class PIMMenuBar;
class wxDialog;
class wxKeyEvent;
class wxMenu;

class MoxMenuBar : public wxPanel, public TavMenuBarBase {
public:
    MoxMenuBar();
    ~MoxMenuBar() override;
    // `skin` is owned: the strip's part of the window's image.
    bool Create(std::unique_ptr<wxBitmap> skin, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                const wxSize& size, long style = wxTAB_TRAVERSAL | wxBORDER_NONE);

    // The menus again with the labels of the current language.
    void Relabel() override;
    // Add, Edit and Preference commands and the languages; the rest stay.
    void EnableCommands(bool enable) override;
    void Update(KelSubject* subject, void* payload) override;
    using wxPanel::Update;
    // The application's dialogs behind Help > About and Check for Update,
    // given by the frame that owns the strip, so that the skin knows them only
    // as dialogs. `show_about` shows the About box modally; `make_update` makes
    // the update window, once, on first use (a top-level child of `parent`).
    void SetDialogs(std::function<void(wxWindow* parent)> show_about,
                    std::function<wxDialog*(wxWindow* parent)> make_update);
    // The About box, modal.
    void OnAbout() override;
    // The update window, centred, shown: it checks as it shows.
    void OnCheckUpdate() override;
    // The update window once made (null before), as the type its maker made.
    template <class Dialog = KelProgressDialog>
    Dialog* GetUpdateWindow() const
    {
        return static_cast<Dialog*>(update_window_);
    }

    PIMMenuBar* GetTitles() const { return titles_; }
    wxMenu* GetFileMenu() const { return file_.get(); }
    wxMenu* GetEditMenu() const { return edit_.get(); }
    wxMenu* GetHelpMenu() const { return help_.get(); }
    wxMenu* GetLanguageMenu() const { return language_menu_; }
    // Whether a command is usable now.
    bool IsCommandEnabled(int id) const;
    // The keyboard way into the menus, for the window's key hook: F10 opens
    // the first menu, Alt with an underlined letter its menu, and the
    // shortcuts shown beside the items run them. True when the key was one
    // of these (it is then used up, even when its command is off).
    bool HandleKey(const wxKeyEvent& event);

private:
    void BuildMenus();
    void OnMenu(wxCommandEvent& event);
    void OnPaint(wxPaintEvent& event);

    std::unique_ptr<wxBitmap> skin_;
    PIMMenuBar* titles_ = nullptr;
    std::unique_ptr<wxMenu> file_;
    std::unique_ptr<wxMenu> edit_;
    std::unique_ptr<wxMenu> help_;
    wxMenu* language_menu_ = nullptr;  // owned by the Help menu
    bool commands_enabled_ = true;
    std::function<void(wxWindow*)> show_about_;
    std::function<wxDialog*(wxWindow*)> make_update_;
    wxDialog* update_window_ = nullptr;  // a top-level child of the main window
};

#endif
