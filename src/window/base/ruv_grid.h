// The file list's grid: row-oriented selection helpers and two mouse rules
// that make it behave like a list of files rather than a spreadsheet:
// Ctrl+click toggles a whole row, a click below the last row clears the selection.
#ifndef KESTRAN_WINDOW_BASE_RUV_GRID_H
#define KESTRAN_WINDOW_BASE_RUV_GRID_H

#include <wx/grid.h>

class RuvGrid : public wxGrid {
public:
    RuvGrid() = default;
    RuvGrid(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
            const wxSize& size = wxDefaultSize, long style = wxWANTS_CHARS, const wxString& name = wxGridNameStr)
    {
        Create(parent, id, pos, size, style, name);
    }
    bool Create(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize, long style = wxWANTS_CHARS, const wxString& name = wxGridNameStr);

    void SetColumn(int column, const wxString& label, int width);
    // Width 0 for every column from `first` to the last.
    void HideColumnsFrom(int first);
    // Repaints one cell (with erase); a cell without area is left alone.
    void RefreshCell(int row, int column);
    // Whole selected rows first, then every row of every selection block; a
    // row may appear more than once.
    wxArrayInt GetSelectedRowsAll() const;

private:
    void OnCellWindowLeftDown(wxMouseEvent& event);
    void OnCellLeftClick(wxGridEvent& event);
};

#endif
