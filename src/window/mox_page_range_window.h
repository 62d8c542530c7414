// The page-range panel: sets the "Selected Page" of every selected row in one
// step, to all pages, to the page shown in the preview, or to a typed range.
// It never touches the grid: it sends a notification and the main frame
// applies and checks the range row by row.
#ifndef KESTRAN_WINDOW_MOX_PAGE_RANGE_WINDOW_H
#define KESTRAN_WINDOW_MOX_PAGE_RANGE_WINDOW_H

#include <memory>

#include "window/base/mox_piece_window.h"

class TavRadioButton;
class TavRadioGroup;
class TavStaticText;
class wxButton;
class wxTextCtrl;

class MoxPageRangeWindow : public MoxPieceWindow {
public:
    enum : int { AllId = 1, CurrentId = 2, RangeId = 3, RangeFieldId = 4 };

    MoxPageRangeWindow();
    ~MoxPageRangeWindow() override;
    bool Create(std::unique_ptr<wxBitmap> background, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                const wxSize& size);

    // The three choices; the range field and "Ok" only while "Range" is chosen.
    void EnablePanel(bool enable);
    // Texts and fonts in the current language, then the layout.
    void Relabel();

    void Update(KelSubject* subject, void* payload) override;
    using MoxPieceWindow::Update;
    void DrawBackground(wxDC& dc) override;

    // What the choices and the field do.
    void PickAll();
    void PickCurrent();
    void PickRange();
    void ConfirmRange();

    int GetCurrentPage() const { return current_page_; }
    TavRadioButton* GetAllChoice() const { return all_; }
    TavRadioButton* GetCurrentChoice() const { return current_; }
    TavRadioButton* GetRangeChoice() const { return range_; }
    wxTextCtrl* GetRangeField() const { return range_field_; }
    wxButton* GetOkButton() const { return ok_; }

private:
    void LayOut();
    void OnRadio(wxCommandEvent& event);

    wxTextCtrl* range_field_ = nullptr;
    wxButton* ok_ = nullptr;
    TavRadioButton* all_ = nullptr;
    TavRadioButton* range_ = nullptr;
    TavRadioButton* current_ = nullptr;
    std::unique_ptr<TavRadioGroup> radio_group_;
    TavStaticText* title_ = nullptr;
    TavStaticText* description_ = nullptr;
    int current_page_ = 1;
    bool enabled_ = true;

    wxDECLARE_DYNAMIC_CLASS(MoxPageRangeWindow);
};

#endif
