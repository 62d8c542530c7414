#include "window/base/ruv_grid.h"

#include <algorithm>

bool RuvGrid::Create(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size, long style,
                     const wxString& name)
{
    if (!wxGrid::Create(parent, id, pos, size, style, name))
        return false;
    GetGridWindow()->Bind(wxEVT_LEFT_DOWN, &RuvGrid::OnCellWindowLeftDown, this);
    Bind(wxEVT_GRID_CELL_LEFT_CLICK, &RuvGrid::OnCellLeftClick, this);
    return true;
}

void RuvGrid::SetColumn(int column, const wxString& label, int width)
{
    SetColLabelValue(column, label);
    SetColSize(column, width);
}

void RuvGrid::HideColumnsFrom(int first)
{
    for (int c = std::max(0, first); c < GetNumberCols(); ++c)
        SetColSize(c, 0);
}

void RuvGrid::RefreshCell(int row, int column)
{
    const wxRect cell = CellToRect(row, column);
    if (cell.width < 1 || cell.height < 1)
        return;
    int x = 0, y = 0;
    CalcScrolledPosition(cell.x, cell.y, &x, &y);
    GetGridWindow()->RefreshRect(wxRect(x, y, cell.width, cell.height), true);
}

wxArrayInt RuvGrid::GetSelectedRowsAll() const
{
    wxArrayInt rows = GetSelectedRows();
    const wxGridCellCoordsArray tops = GetSelectionBlockTopLeft();
    const wxGridCellCoordsArray bottoms = GetSelectionBlockBottomRight();
    for (size_t i = 0; i < tops.size() && i < bottoms.size(); ++i) {
        for (int r = tops[i].GetRow(); r <= bottoms[i].GetRow(); ++r)
            rows.Add(r);
    }
    return rows;
}

void RuvGrid::OnCellWindowLeftDown(wxMouseEvent& event)
{
    int x = 0, y = 0;
    CalcUnscrolledPosition(event.GetX(), event.GetY(), &x, &y);
    if (YToRow(y, false) == wxNOT_FOUND)
        ClearSelection();  // a click on the empty area below the rows
    event.Skip();
}

void RuvGrid::OnCellLeftClick(wxGridEvent& event)
{
    if (!event.ControlDown()) {
        event.Skip();
        return;
    }
    // Ctrl toggles the whole row and leaves every other row as it was; the
    // grid's own Ctrl handling (cell blocks) does not run.
    const int row = event.GetRow();
    if (!IsInSelection(row, 0)) {
        SelectRow(row, true);
    } else {
        DeselectRow(row);
        ForceRefresh();
    }
}
