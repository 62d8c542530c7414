// A radio button drawn from two images over its parent's skin, and the group
// that keeps its members exclusive.
#ifndef KESTRAN_WINDOW_BASE_TAV_RADIO_BUTTON_H
#define KESTRAN_WINDOW_BASE_TAV_RADIO_BUTTON_H

#include <vector>

#include <wx/bitmap.h>
#include <wx/control.h>

#include "window/base/skin_piece.h"

wxDECLARE_EVENT(TAV_EVT_RADIOBUTTON, wxCommandEvent);

class TavRadioButton;

// Members are not owned. Exactly one member is selected once Select ran.
class TavRadioGroup {
public:
    // Gives the button the next index and makes this its group.
    void Add(TavRadioButton* button);
    // Remembers the first member whose selected flag is set.
    void InitSelection();
    // Deselects the remembered button, selects `index`.
    void Select(int index);
    int GetSelection() const { return selected_; }
    int GetCount() const { return count_; }
    TavRadioButton* GetButton(int index) const;

private:
    int selected_ = -1;
    int remembered_ = -1;
    std::vector<TavRadioButton*> buttons_;
    int count_ = 0;
};

class TavRadioButton : public wxControl {
public:
    TavRadioButton() = default;
    TavRadioButton(wxWindow* parent, wxWindowID id, const wxBitmap& unselected, const wxBitmap& selected,
                   const wxBitmap& background, const wxPoint& pos = wxDefaultPosition,
                   const wxSize& size = wxDefaultSize, long style = wxBORDER_NONE,
                   const wxValidator& validator = wxDefaultValidator)
    {
        Create(parent, id, unselected, selected, background, pos, size, style, validator);
    }
    bool Create(wxWindow* parent, wxWindowID id, const wxBitmap& unselected, const wxBitmap& selected,
                const wxBitmap& background, const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize,
                long style = wxBORDER_NONE, const wxValidator& validator = wxDefaultValidator);

    // Without `text_on_image`: image width + gap + text width by
    // max(text height, image height). With it: the unselected image's size,
    // the label centred over the image at the text y offset.
    void SetLabel(const wxString& label, bool text_on_image);
    void SetLabel(const wxString& label) override { SetLabel(label, text_on_image_); }
    wxString GetLabel() const override { return label_; }

    // Selecting a grouped button lets the group deselect the others.
    void SetValue(bool selected);
    bool GetValue() const { return selected_; }
    int GetGap() const { return gap_; }
    void SetGap(int gap) { gap_ = gap; }
    void SetTextY(int y) { text_y_ = y; }
    TavRadioGroup* GetGroup() const { return group_; }
    int GetIndex() const { return index_; }

private:
    friend class TavRadioGroup;
    void SetSelectedFlag(bool selected);
    void OnPaint(wxPaintEvent& event);
    void OnLeftDown(wxMouseEvent& event);
    // What a click or Space does: selects this button when a handler takes the choice.
    void Choose();

    TavRadioGroup* group_ = nullptr;
    int index_ = -1;
    wxBitmap unselected_;
    wxBitmap selected_image_;
    wxBitmap background_;
    SkinPiece background_piece_;
    wxString label_;
    bool selected_ = false;
    int gap_ = 6;
    bool text_on_image_ = false;
    int text_y_ = 0;
};

#endif
