// The title bar of the frameless main window: logo, caption, minimize and
// close buttons; dragging it moves the window.
#ifndef KESTRAN_WINDOW_BASE_TITLE_WINDOW_H
#define KESTRAN_WINDOW_BASE_TITLE_WINDOW_H

#include <memory>

#include "window/base/face_table.h"
#include "window/base/mox_piece_window.h"

class TavBitmapButton;

class TitleWindow : public MoxPieceWindow {
public:
    enum { CloseId = 0, MinimizeId = 1 };

    TitleWindow() = default;
    TitleWindow(std::unique_ptr<wxBitmap> skin, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                const wxSize& size, long style = wxBORDER_NONE)
    {
        Create(std::move(skin), parent, id, pos, size, style);
    }
    bool Create(std::unique_ptr<wxBitmap> skin, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                const wxSize& size, long style = wxBORDER_NONE);

    void Update(KelSubject* subject, void* payload) override;
    using MoxPieceWindow::Update;
    void DrawBackground(wxDC& dc) override;

    TavBitmapButton* GetCloseButton() const { return close_button_; }
    TavBitmapButton* GetMinimizeButton() const { return minimize_button_; }
    const wxBitmap& GetLogo() const { return logo_; }
    // Where the caption text starts (tests check the layout against the theme).
    wxPoint GetCaptionPosition() const;

protected:
    wxSize DoGetBestSize() const override;

private:
    TavBitmapButton* MakeButton(wxWindowID id, const wxString& stem, int right_edge,
                                std::unique_ptr<wxBitmap>* images);
    wxString GetCaption() const;
    wxFont GetCaptionFont() const;
    void OnLeftDown(wxMouseEvent& event);
    void OnLeftUp(wxMouseEvent& event);
    void OnMotion(wxMouseEvent& event);
    void OnCaptureLost(wxMouseCaptureLostEvent& event);
    void OnButton(wxCommandEvent& event);

    wxBitmap logo_;
    FaceRect logo_rect_;
    wxColour caption_colour_;
    wxPoint drag_offset_;

    TavBitmapButton* close_button_ = nullptr;
    TavBitmapButton* minimize_button_ = nullptr;
    // The buttons draw these but do not own them.
    std::unique_ptr<wxBitmap> close_images_[3];
    std::unique_ptr<wxBitmap> minimize_images_[3];
};

#endif
