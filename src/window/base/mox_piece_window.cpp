#include "window/base/mox_piece_window.h"

#include <wx/dcbuffer.h>

wxIMPLEMENT_DYNAMIC_CLASS(MoxPieceWindow, wxPanel);

wxBEGIN_EVENT_TABLE(MoxPieceWindow, wxPanel)
    EVT_PAINT(MoxPieceWindow::OnPaint)
wxEND_EVENT_TABLE()

MoxPieceWindow::MoxPieceWindow(wxWindow* parent, std::unique_ptr<wxBitmap> background, wxWindowID id,
                               const wxPoint& pos, const wxSize& size, long style, const wxString& name)
{
    Create(parent, std::move(background), id, pos, size, style, name);
}

MoxPieceWindow::~MoxPieceWindow() = default;

bool MoxPieceWindow::Create(wxWindow* parent, std::unique_ptr<wxBitmap> background, wxWindowID id,
                            const wxPoint& pos, const wxSize& size, long style, const wxString& name)
{
    // The whole surface is painted in OnPaint: no erase step, no flicker.
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!wxPanel::Create(parent, id, pos, size, style, name))
        return false;
    background_ = std::move(background);
    return true;
}

void MoxPieceWindow::Update(KelSubject* /*subject*/, void* /*payload*/) {}

void MoxPieceWindow::DrawBackground(wxDC& dc)
{
    // Clear first: half-transparent skin pixels must blend with a defined
    // colour, not with whatever the buffer held before.
    dc.SetBackground(wxBrush(GetBackgroundColour()));
    dc.Clear();
    if (background_ && background_->IsOk())
        dc.DrawBitmap(*background_, 0, 0, true);
}

void MoxPieceWindow::OnPaint(wxPaintEvent& /*event*/)
{
    wxAutoBufferedPaintDC dc(this);
    DrawBackground(dc);
}
