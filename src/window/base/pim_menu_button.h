// The title of one menu in the skinned menu strip: its text drawn over the
// piece of the strip's skin under it, in the normal colour, or in the current
// colour while the mouse is over it. A press sends wxEVT_BUTTON at once.
#ifndef KESTRAN_WINDOW_BASE_PIM_MENU_BUTTON_H
#define KESTRAN_WINDOW_BASE_PIM_MENU_BUTTON_H

#include <wx/bitmap.h>
#include <wx/control.h>

class PimMenuButton : public wxControl {
public:
    PimMenuButton() = default;
    PimMenuButton(wxWindow* menu_bar, const wxString& label, const wxBitmap& skin, wxWindow* parent, wxWindowID id,
                  const wxColour& normal_colour, const wxColour& current_colour,
                  const wxPoint& pos = wxDefaultPosition, long style = wxBORDER_NONE,
                  const wxValidator& validator = wxDefaultValidator)
    {
        Create(menu_bar, label, skin, parent, id, normal_colour, current_colour, pos, style, validator);
    }
    bool Create(wxWindow* menu_bar, const wxString& label, const wxBitmap& skin, wxWindow* parent, wxWindowID id,
                const wxColour& normal_colour, const wxColour& current_colour,
                const wxPoint& pos = wxDefaultPosition, long style = wxBORDER_NONE,
                const wxValidator& validator = wxDefaultValidator);

    // While a menu is open its title keeps the hover look whatever the mouse does.
    void SetHoverAllowed(bool allowed) { hover_allowed_ = allowed; }
    void SetHover(bool hover);
    bool IsHover() const { return hover_; }
    wxWindow* GetMenuBar() const { return menu_bar_; }

protected:
    wxSize DoGetBestSize() const override { return GetSize(); }

private:
    void OnPaint(wxPaintEvent& event);
    void OnEnter(wxMouseEvent& event);
    void OnLeave(wxMouseEvent& event);
    void OnLeftDown(wxMouseEvent& event);

    bool hover_ = false;
    bool hover_allowed_ = true;
    wxBitmap normal_;
    wxBitmap current_;
    wxBitmap disabled_;  // not drawn: disabled titles are never shown
    wxWindow* menu_bar_ = nullptr;
    wxFont font_;
};

#endif
