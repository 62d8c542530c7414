// The file list's grid rules and its status cell.
#include <algorithm>
#include <memory>
#include <set>

#include <gtest/gtest.h>
#include <wx/dcmemory.h>
#include <wx/uiaction.h>

#include "gui_test_support.h"
#include "window/base/mox_grid_cell_renderer.h"
#include "window/base/ruv_grid.h"

namespace {


class GridRules : public ::testing::Test {
protected:
    void SetUp() override
    {
        frame_ = guitest::MakeHostFrame(wxSize(420, 300), wxPoint(40, 40));
        grid_ = new RuvGrid(frame_, wxID_ANY, wxPoint(0, 0), wxSize(420, 300));
        grid_->CreateGrid(5, 3, wxGrid::wxGridSelectRows);
        grid_->SetRowLabelSize(0);
        grid_->SetColLabelSize(24);
        grid_->SetDefaultRowSize(24, true);
        grid_->EnableEditing(false);
        ASSERT_TRUE(guitest::ShowAndWait(frame_));
    }
    void TearDown() override
    {
        sim_.KeyUp(WXK_CONTROL);
        guitest::DestroyAllTopLevels();
    }
    std::set<int> Selected() const
    {
        const wxArrayInt rows = grid_->GetSelectedRowsAll();
        return std::set<int>(rows.begin(), rows.end());
    }
    void ClickCell(int row, bool control)
    {
        const wxRect cell = grid_->CellToRect(row, 1);
        const wxPoint in_window = grid_->GetGridWindow()->ClientToScreen(cell.GetPosition() + wxPoint(5, 5));
        sim_.MouseMove(in_window);
        if (control)
            sim_.KeyDown(WXK_CONTROL);
        sim_.MouseClick();
        if (control)
            sim_.KeyUp(WXK_CONTROL);
        ASSERT_TRUE(guitest::SyncEvents());
    }

    wxFrame* frame_ = nullptr;
    RuvGrid* grid_ = nullptr;
    wxUIActionSimulator sim_;
};

TEST_F(GridRules, ControlClickTogglesOnlyThatRow)
{
    // In cell mode the grid alone would toggle one cell; the list toggles rows.
    grid_->SetSelectionMode(wxGrid::wxGridSelectCells);
    grid_->SelectRow(1, true);
    grid_->SelectRow(3, true);
    ClickCell(3, true);
    EXPECT_EQ(Selected(), (std::set<int>{1}));
    EXPECT_FALSE(grid_->IsInSelection(3, 0));
    EXPECT_FALSE(grid_->IsInSelection(3, 2));
    ClickCell(4, true);
    EXPECT_EQ(Selected(), (std::set<int>{1, 4}));
    EXPECT_TRUE(grid_->IsInSelection(4, 0));
    EXPECT_TRUE(grid_->IsInSelection(4, 2));
    EXPECT_TRUE(grid_->IsInSelection(1, 1));
}

TEST_F(GridRules, PlainClickIsTheGridsOwn)
{
    grid_->SelectRow(0, true);
    grid_->SelectRow(2, true);
    ClickCell(4, false);
    EXPECT_EQ(Selected(), (std::set<int>{4}));
}

TEST_F(GridRules, ClickBelowTheLastRowClearsTheSelection)
{
    grid_->SelectRow(0, true);
    grid_->SelectRow(2, true);
    const wxRect last = grid_->CellToRect(4, 0);
    const wxPoint below = grid_->GetGridWindow()->ClientToScreen(wxPoint(20, last.GetBottom() + 40));
    sim_.MouseMove(below);
    sim_.MouseClick();
    ASSERT_TRUE(guitest::SyncEvents());
    EXPECT_TRUE(Selected().empty());
}

TEST_F(GridRules, SelectedRowsIncludeBlocks)
{
    grid_->SelectRow(0, true);
    grid_->SelectBlock(2, 0, 3, 2, true);
    EXPECT_EQ(Selected(), (std::set<int>{0, 2, 3}));
}

TEST_F(GridRules, ColumnsAreSetAndHidden)
{
    grid_->SetColumn(0, "File Name", 120);
    grid_->SetColumn(1, "Size", 60);
    grid_->SetColumn(2, "Status", 80);
    EXPECT_EQ(grid_->GetColLabelValue(0), "File Name");
    EXPECT_EQ(grid_->GetColSize(1), 60);
    grid_->HideColumnsFrom(1);
    EXPECT_EQ(grid_->GetColSize(0), 120);
    EXPECT_EQ(grid_->GetColSize(1), 0);
    EXPECT_EQ(grid_->GetColSize(2), 0);
    grid_->RefreshCell(0, 2);  // no area: nothing to repaint, and no failure
}

// Draws the renderer into a bitmap of one cell and returns the picture.
wxImage DrawStatusCell(RuvGrid* grid, MoxGridCellRenderer& renderer, const wxSize& size)
{
    wxBitmap bitmap(size.x, size.y, 24);
    wxMemoryDC dc(bitmap);
    wxGridCellAttr* attr = grid->GetOrCreateCellAttr(0, 2);
    renderer.Draw(*grid, *attr, dc, wxRect(size), 0, 2, false);
    attr->DecRef();
    dc.SelectObject(wxNullBitmap);
    return bitmap.ConvertToImage();
}

wxColour At(const wxImage& image, int x, int y)
{
    return wxColour(image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y));
}

TEST_F(GridRules, StatusBarIsPercentOfTheCellWidth)
{
    const wxColour bar(252, 156, 0);
    MoxGridCellRenderer renderer;
    renderer.SetColour(bar);
    renderer.SetText("50%");
    renderer.percent_ = 50;
    const wxImage cell = DrawStatusCell(grid_, renderer, wxSize(101, 60));
    // 50 pixels wide: x 0..49, outlined in black, filled with the bar colour.
    EXPECT_EQ(At(cell, 30, 4), bar);
    EXPECT_EQ(At(cell, 48, 4), bar);
    EXPECT_EQ(At(cell, 49, 4), *wxBLACK);
    EXPECT_EQ(At(cell, 0, 30), *wxBLACK);
    EXPECT_NE(At(cell, 50, 4), bar);
    EXPECT_NE(At(cell, 80, 4), bar);
    EXPECT_EQ(MoxGridCellRenderer::BarWidth(50, 101), 50);
    EXPECT_EQ(MoxGridCellRenderer::BarWidth(100, 101), 101);
    EXPECT_EQ(MoxGridCellRenderer::BarWidth(1, 99), 0);
}

TEST_F(GridRules, ZeroPercentDrawsOnlyTheText)
{
    MoxGridCellRenderer renderer;
    renderer.SetColour(wxColour(252, 156, 0));
    renderer.SetText("Converting...");
    const wxImage cell = DrawStatusCell(grid_, renderer, wxSize(120, 60));
    int dark = 0, orange = 0;
    for (int y = 0; y < cell.GetHeight(); ++y)
        for (int x = 0; x < cell.GetWidth(); ++x) {
            const wxColour c = At(cell, x, y);
            dark += c.Red() < 100 && c.Green() < 100 && c.Blue() < 100;
            orange += c == wxColour(252, 156, 0);
        }
    EXPECT_GT(dark, 10);  // the text
    EXPECT_EQ(orange, 0);
    EXPECT_NE(At(cell, 0, 2), *wxBLACK);  // no outline either
}

TEST(StatusRenderer, CopyKeepsTextColourAndPercent)
{
    MoxGridCellRenderer renderer;
    renderer.SetColour(wxColour(1, 2, 3));
    renderer.SetText("Stop");
    renderer.SetPercent(70);
    std::unique_ptr<MoxGridCellRenderer> copy(static_cast<MoxGridCellRenderer*>(renderer.Clone()));
    EXPECT_EQ(copy->GetText(), "Stop");
    EXPECT_EQ(copy->GetColour(), wxColour(1, 2, 3));
    EXPECT_EQ(copy->GetPercent(), 70);
    copy.release()->DecRef();
}

}  // namespace
