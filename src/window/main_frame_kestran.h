// The window the user sees: builds every piece of the main window from the
// skin, each placed by its face rectangle and cut from the screen image,
// creates the one conversion object, wires the pieces together and serves as
// the observer that does what needs more than one piece.
#ifndef KESTRAN_WINDOW_MAIN_FRAME_KESTRAN_H
#define KESTRAN_WINDOW_MAIN_FRAME_KESTRAN_H

#include <array>
#include <memory>

#include "window/main_frame.h"

class DomainConvertKESTRAN;
class FileRowInfo;
class MoxMenuBar;
class MoxPageRangeWindow;
class MoxPieceWindow;
class MoxToolBar;
class OutputWindow;
class PreviewWindow;
class SelectWindow;
class TitleWindow;

class MainFrameKESTRAN : public MainFrame {
public:
    enum : int {
        TitleBarId = 2001,
        MenuBarId = 2002,
        ToolBarId = 2003,
        RootPieceId = 2005,
        SelectWindowId = 2006,
        OutputWindowId = 2007
    };

    MainFrameKESTRAN();
    ~MainFrameKESTRAN() override;

    bool Build(wxWindowID id, const wxString& title) override;
    void OnLanguageChanged(wxCommandEvent& event) override;
    void Update(KelSubject* subject, void* payload) override;
    using MainFrame::Update;
    // A job still writing is told to stop and its unfinished image removed,
    // then the process ends as usual.
    void OnClose(wxCloseEvent& event) override;

    // The empty file list's guide, painted over the list's own surface.
    virtual void PaintGuide(wxPaintEvent& event);
    // The output type chosen in `row`'s cell: also for the other selected
    // rows when `row` is one of them, and remembered for new rows.
    void ApplyOutputType(int row, int type);
    // Moves the frame where it was when it last closed, if still on a display.
    void RestorePosition();
    // The nine column labels, translated; `output_type_label` for column 3.
    virtual void SetColumnLabels(const wxString& output_type_label);
    // The two pictures of the guide: the add-file icon and the Start button.
    virtual void PrepareGuideImages();
    // The Preference dialog, modal; built anew each time from the stored settings.
    virtual void ShowPreferences();
    // Judges a loaded file before it becomes a row: one that cannot be opened
    // is reported and kept out, an empty one is kept out silently.
    virtual void OnFileLoaded(FileRowInfo* record);

    MoxPieceWindow* GetRootPiece() const { return root_; }
    TitleWindow* GetTitleWindow() const { return title_bar_; }
    MoxToolBar* GetMoxToolBar() const { return toolbar_; }
    MoxMenuBar* GetMoxMenuBar() const { return menu_bar_; }
    SelectWindow* GetSelectWindow() const { return select_; }
    bool OpenPaths(const wxArrayString& paths) override;
    OutputWindow* GetOutputWindow() const { return output_; }
    PreviewWindow* GetPreviewWindow() const { return preview_; }
    MoxPageRangeWindow* GetPageRangeWindow() const { return page_range_; }
    DomainConvertKESTRAN* GetConversion() const { return conversion_.get(); }
    const wxBitmap& GetGuideStartImage() const { return guide_start_; }
    const wxBitmap& GetGuideAddFileImage() const { return guide_add_file_; }
    // Where the guide's pictures go on the file list (empty before a paint).
    const wxRect& GetGuideAddFileRect() const { return guide_add_file_rect_; }
    const wxRect& GetGuideStartRect() const { return guide_start_rect_; }

private:
    // The keyboard ways in that belong to no single piece: the menus'
    // keys and shortcuts, and Ctrl+Return for Start.
    void OnCharHook(wxKeyEvent& event);
    // Every piece that takes part in the notifications, by its place in the wiring.
    enum PieceSlot : int {
        SelectPiece,
        PreviewPiece,
        PageRangePiece,
        ToolBarPiece,
        MenuBarPiece,
        OutputPiece,
        TitlePiece,
        FramePiece,
        PieceCount
    };
    struct Piece {
        KelSubject* subject = nullptr;
        KelObserver* observer = nullptr;
    };
    template <typename T>
    void Register(PieceSlot slot, T* piece)
    {
        pieces_[slot] = Piece{piece, piece};
    }
    // Attaches the observers to their subjects; a piece not built is skipped.
    void Wire();

    // The piece of the screen image under `rect`, as the piece's own background.
    std::unique_ptr<wxBitmap> CutScreen(const wxRect& rect) const;
    void BuildPieces();
    void BuildFileList();
    // The message for a range refused on a row.
    static wxString RangeRefusal();
    // Sets the "Selected Page" of the selected rows from the page-range panel.
    void ApplyRange(int code, void* payload);

    wxBitmap screen_;
    MoxPieceWindow* root_ = nullptr;
    TitleWindow* title_bar_ = nullptr;
    MoxToolBar* toolbar_ = nullptr;
    MoxMenuBar* menu_bar_ = nullptr;
    OutputWindow* output_ = nullptr;
    PreviewWindow* preview_ = nullptr;
    MoxPageRangeWindow* page_range_ = nullptr;
    SelectWindow* select_ = nullptr;
    // Shared with the workers it starts, which may outlive this frame.
    std::shared_ptr<DomainConvertKESTRAN> conversion_;
    int language_ = 0;
    std::array<Piece, PieceCount> pieces_{};
    wxBitmap guide_start_;
    wxBitmap guide_add_file_;
    wxRect guide_add_file_rect_;
    wxRect guide_start_rect_;

    wxDECLARE_DYNAMIC_CLASS(MainFrameKESTRAN);
};

#endif
