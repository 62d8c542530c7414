// The strip of menu titles under the title bar. A click on a title opens its
// pop-up menu under it; while a menu is open, moving the pointer onto another
// title switches to that title's menu without a click, and Left/Right switch
// to the neighbouring menu, as a native menu bar does.
#ifndef KESTRAN_WINDOW_BASE_PIM_MENU_BAR_H
#define KESTRAN_WINDOW_BASE_PIM_MENU_BAR_H

#include <vector>

#include <wx/bitmap.h>
#include <wx/panel.h>

class PimMenuButton;
class wxMenu;

class PIMMenuBar : public wxPanel {
public:
    PIMMenuBar() = default;
    ~PIMMenuBar() override;
    // `skin` (not owned) is the strip's image: the bar's background and
    // the backdrop of every title.
    bool Create(const wxBitmap* skin, wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition);

    // A title for `menu` (not owned) after the last one; the bar grows to hold it.
    void AddMenu(int title_id, wxMenu* menu, const wxString& label, const wxColour& normal_colour,
                 const wxColour& current_colour);
    // Removes every title.
    void Clear();

    // Opens the menu of a title as a click on it does; returns when it has
    // closed. A switch to another title opens that one right afterwards.
    void OpenMenu(int title_id);
    // The title whose menu is open, -1 when none.
    int GetOpenTitle() const { return open_title_; }
    PimMenuButton* GetTitle(int title_id) const;
    size_t GetTitleCount() const { return titles_.size(); }

    // The title whose underlined letter is `key` (a key code, any case), -1 when none.
    int TitleForMnemonic(int key) const;
    // The title under a screen point, -1 when none.
    int TitleAt(const wxPoint& screen) const;
    // The title before (-1) or after (+1) `title_id`, wrapping around.
    int Neighbour(int title_id, int step) const;
    // While a menu is open: closes it so that `title_id` opens next
    // (-2: the menu's own title, -1: none).
    void SwitchTo(int title_id);

protected:
    wxSize DoGetBestSize() const override { return GetSize(); }

private:
    struct Title {
        PimMenuButton* button;
        wxMenu* menu;
    };
    const Title* Find(int title_id) const;
    void OnTitleClick(wxCommandEvent& event);
    void OnPaint(wxPaintEvent& event);

    std::vector<Title> titles_;
    const wxBitmap* skin_ = nullptr;
    int next_x_ = 0;
    int next_y_ = 0;
    int open_title_ = -1;
    int next_title_ = -1;
    wxMenu* open_menu_ = nullptr;
};

#endif
