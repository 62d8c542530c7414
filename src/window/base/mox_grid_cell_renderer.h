// The status cell of the file list: the cell as usual, then a progress bar of
// `percent_` of the cell's width in the bar colour and the status text.
#ifndef KESTRAN_WINDOW_BASE_MOX_GRID_CELL_RENDERER_H
#define KESTRAN_WINDOW_BASE_MOX_GRID_CELL_RENDERER_H

#include <wx/grid.h>

class MoxGridCellRenderer : public wxGridCellStringRenderer {
public:
    MoxGridCellRenderer() = default;

    void SetColour(const wxColour& colour) { colour_ = colour; }
    void SetText(const wxString& text) { text_ = text; }
    // The English text `text` was translated from, so that a change of
    // language can translate it again; "" for a text that is not translated.
    void SetTextId(const wxString& id) { text_id_ = id; }
    const wxString& GetTextId() const { return text_id_; }
    void SetPercent(int percent) { percent_ = percent < 0 ? 0 : (percent > 100 ? 100 : percent); }
    int GetPercent() const { return percent_; }
    const wxString& GetText() const { return text_; }
    // Why the row failed or stopped, in the user's language; "" otherwise.
    void SetReason(const wxString& reason) { reason_ = reason; }
    const wxString& GetReason() const { return reason_; }
    const wxColour& GetColour() const { return colour_; }

    // Width of the bar for a cell `cell_width` wide (0 means no bar).
    static int BarWidth(int percent, int cell_width) { return percent * cell_width / 100; }

    void Draw(wxGrid& grid, wxGridCellAttr& attr, wxDC& dc, const wxRect& rect, int row, int col,
              bool is_selected) override;
    // A copy keeps text, reason, colour and percent.
    wxGridCellRenderer* Clone() const override;

    int percent_ = 0;  // 0 to 100; the file list sets it for progress

private:
    wxString text_;
    wxString text_id_;
    wxString reason_;
    wxColour colour_;
};

#endif
