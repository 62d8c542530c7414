#include "window/base/mox_grid_cell_renderer.h"

#include <algorithm>

#include <wx/dc.h>
#include <wx/settings.h>

void MoxGridCellRenderer::Draw(wxGrid& grid, wxGridCellAttr& attr, wxDC& dc, const wxRect& rect, int row, int col,
                               bool is_selected)
{
    dc.SetClippingRegion(rect);
    wxGridCellStringRenderer::Draw(grid, attr, dc, rect, row, col, is_selected);
    dc.SetFont(wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT));
    dc.SetPen(*wxBLACK_PEN);
    dc.SetBrush(colour_.IsOk() ? wxBrush(colour_) : *wxTRANSPARENT_BRUSH);
    if (percent_ != 0)
        dc.DrawRectangle(rect.x, rect.y, BarWidth(percent_, rect.width), rect.height);
    dc.SetTextForeground(*wxBLACK);
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    // Vertically centred in the row, so the text sits on the same line as the
    // other cells' values.
    const wxSize text = dc.GetTextExtent(text_);
    dc.DrawText(text_, rect.x + 2, rect.y + std::max(0, (rect.height - text.y) / 2));
    dc.DestroyClippingRegion();
}

wxGridCellRenderer* MoxGridCellRenderer::Clone() const
{
    auto* copy = new MoxGridCellRenderer;
    copy->percent_ = percent_;
    copy->text_ = text_;
    copy->text_id_ = text_id_;
    copy->reason_ = reason_;
    copy->colour_ = colour_;
    return copy;
}
