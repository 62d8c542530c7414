// The window the user sees: builds every piece of the main window from the
// skin, each placed by its face rectangle and cut from the screen image.
#ifndef KESTRAN_WINDOW_MAIN_FRAME_KESTRAN_H
#define KESTRAN_WINDOW_MAIN_FRAME_KESTRAN_H

#include "window/main_frame.h"

class MoxPieceWindow;
class MoxToolBar;
class TitleWindow;

class MainFrameKESTRAN : public MainFrame {
public:
    enum : int { RootPieceId = 2005, TitleBarId = 2001, ToolBarId = 2003 };

    MainFrameKESTRAN() = default;

    bool Build(wxWindowID id, const wxString& title) override;
    void OnLanguageChanged(wxCommandEvent& event) override;
    void Update(KelSubject* subject, void* payload) override;
    using MainFrame::Update;

    MoxPieceWindow* GetRootPiece() const { return root_; }
    TitleWindow* GetTitleWindow() const { return title_bar_; }
    MoxToolBar* GetMoxToolBar() const { return toolbar_; }

private:
    // The piece of the screen image under `rect`, as the piece's own background.
    std::unique_ptr<wxBitmap> CutScreen(const wxRect& rect) const;
    void BuildPieces();

    wxBitmap screen_;
    MoxPieceWindow* root_ = nullptr;
    TitleWindow* title_bar_ = nullptr;
    MoxToolBar* toolbar_ = nullptr;

    wxDECLARE_DYNAMIC_CLASS(MainFrameKESTRAN);
};

#endif
