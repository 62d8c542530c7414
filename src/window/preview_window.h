// The preview: one page of the file in the row last clicked, fitted into the
// theme's page rectangle with its proportions kept, with buttons for the
// first, previous, next and last page, an editable page number and the page
// count. It learns about rows only through notifications and reports every
// page it shows, so the page-range panel can offer it as "Current". Pages are
// drawn on a render thread (PreviewRunRecord); the previous picture stays
// until the newest one arrives.
#ifndef KESTRAN_WINDOW_PREVIEW_WINDOW_H
#define KESTRAN_WINDOW_PREVIEW_WINDOW_H

#include <array>
#include <chrono>
#include <memory>

#include <wx/arrstr.h>
#include <wx/event.h>

#include "window/base/mox_piece_window.h"

class PreviewRunRecord;
class TavBitmapButton;
class TavStaticText;
class wxTextCtrl;

class PreviewWindow : public MoxPieceWindow {
public:
    enum : int { FirstPageId = 5, LastPageId = 6, PreviousPageId = 7, NextPageId = 8, PageBoxId = 9 };

    PreviewWindow();
    ~PreviewWindow() override;
    // The piece and its controls, all disabled until a row is shown.
    bool Create(std::unique_ptr<wxBitmap> background, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                const wxSize& size, long style = wxBORDER_NONE);

    // The row's columns that hold the file's path and its page count.
    void SetColumns(int source_path_column, int page_count_column);
    // Reports `page` and asks the render thread for it; the picture replaces
    // the shown one when it arrives. A page that cannot be rendered leaves the
    // previous picture.
    virtual void ShowPage(int page);
    void EnableControls(bool enable);
    // The page box's hint in the current language.
    void Relabel();
    // What the page box and the four buttons do.
    void GoFirst();
    void GoLast();
    void GoNext();
    void GoPrevious();
    void GoToTypedPage();

    void Update(KelSubject* subject, void* payload) override;
    using MoxPieceWindow::Update;
    void DrawBackground(wxDC& dc) override;

    int GetCurrentRow() const { return current_row_; }
    int GetPageCount() const { return page_count_; }
    const wxBitmap* GetPageBitmap() const { return page_bitmap_.get(); }
    // Where the page is drawn (inside the theme's page rectangle), empty without a page.
    wxRect GetPageRect() const;
    // Pages asked of the render thread so far.
    int GetRenderCount() const { return renders_; }
    // True from a request until its picture (or its failure) has arrived.
    bool IsDrawing() const { return answered_ != requested_; }
    // The time one page may take to draw (tests shorten it).
    void SetRenderBudget(std::chrono::milliseconds budget);
    wxTextCtrl* GetPageBox() const { return page_box_; }
    TavStaticText* GetCountLabel() const { return count_label_; }
    TavBitmapButton* GetButton(int id) const;

private:
    TavBitmapButton* MakeButton(int id, const wxString& stem, int x, int y);
    void LayOutControls();
    void Clear();
    void OnRendered(wxThreadEvent& event);
    int TypedPage() const;
    void SetPageBox(int page);
    void OnButton(wxCommandEvent& event);
    void OnPageBoxEnter(wxCommandEvent& event);

    std::unique_ptr<wxBitmap> page_bitmap_;
    wxRect image_rect_;
    int page_count_ = 0;
    int next_page_ = 0;
    int previous_page_ = 0;
    TavBitmapButton* first_ = nullptr;
    TavBitmapButton* previous_ = nullptr;
    TavBitmapButton* next_ = nullptr;
    TavBitmapButton* last_ = nullptr;
    wxTextCtrl* page_box_ = nullptr;
    TavStaticText* count_label_ = nullptr;
    int current_row_ = -1;
    wxArrayString row_cells_;
    int source_column_ = 6;
    int pages_column_ = 2;
    int renders_ = 0;
    std::shared_ptr<PreviewRunRecord> record_;
    unsigned requested_ = 0;  // generation of the newest request
    unsigned answered_ = 0;   // generation of the newest answer shown
    // normal, pressed, current for each of the four buttons; the buttons draw them.
    std::array<std::array<wxBitmap, 3>, 4> images_;
    int row_x_ = 0;
    int row_y_ = 0;
    int gap_ = 0;

    wxDECLARE_DYNAMIC_CLASS(PreviewWindow);
};

#endif
