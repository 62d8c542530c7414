#include "window/base/pim_menu_button.h"

#include <utility>

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/settings.h>

#include "window/base/image_util.h"

namespace {

// The rows of `text` that hold ink when drawn at the top of a line in
// `font`: first and one past the last, or {0, 0} for none.
std::pair<int, int> InkRows(const wxString& text, const wxFont& font)
{
    wxMemoryDC dc;
    dc.SetFont(font);
    wxCoord w = 0, h = 0;
    dc.GetTextExtent(text, &w, &h);
    if (w <= 0 || h <= 0)
        return {0, 0};
    wxBitmap page(w, h, 24);
    dc.SelectObject(page);
    dc.SetBackground(*wxWHITE_BRUSH);
    dc.Clear();
    dc.SetTextForeground(*wxBLACK);
    dc.DrawText(text, 0, 0);
    dc.SelectObject(wxNullBitmap);
    const wxImage image = page.ConvertToImage();
    int first = -1, last = -1;
    for (int y = 0; y < h; ++y) {
        const unsigned char* row = image.GetData() + size_t(y) * size_t(w) * 3;
        for (int x = 0; x < w * 3; ++x) {
            if (row[x] < 160) {
                if (first < 0)
                    first = y;
                last = y;
                break;
            }
        }
    }
    return first < 0 ? std::pair<int, int>{0, 0} : std::pair<int, int>{first, last + 1};
}

bool HasWideScript(const wxString& text)
{
    for (const wxUniChar c : text)
        if (c.GetValue() >= 0x2E80)  // CJK radicals and everything after
            return true;
    return false;
}

}  // namespace

bool PimMenuButton::Create(wxWindow* menu_bar, const wxString& label, const wxBitmap& skin, wxWindow* parent,
                           wxWindowID id, const wxColour& normal_colour, const wxColour& current_colour,
                           const wxPoint& pos, long style, const wxValidator& validator)
{
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!wxControl::Create(parent, id, pos, wxDefaultSize, style | wxBORDER_NONE, validator))
        return false;
    menu_bar_ = menu_bar;
    font_ = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    font_.SetPointSize(10);
    SetFont(font_);
    SetLabel(label);

    // The label may carry a mnemonic ("&File"): measured without it, drawn
    // with that letter underlined.
    wxString plain;
    const int accel = wxControl::FindAccelIndex(label, &plain);
    wxCoord tw = 0, th = 0, latin_h = 0;
    {
        wxMemoryDC measure;
        measure.SetFont(font_);
        measure.GetTextExtent(plain, &tw, &th);
        measure.GetTextExtent("Ag", nullptr, &latin_h);
    }
    const wxPoint at = GetPosition();
    // Every title is one Latin line high, so the strip keeps its height; a
    // taller line (Chinese and Japanese glyphs come from a fallback font with
    // more leading) is centred on it instead of hanging below.
    const int width = tw + 16, height = latin_h > 0 ? latin_h : th;
    int text_y = (height - th) / 2;
    // Centring the line is not enough there: the fallback font's glyphs sit
    // low in their line. Their ink is centred where a Latin capital's is.
    if (HasWideScript(plain)) {
        const auto [ink_top, ink_end] = InkRows(plain, font_);
        const auto [cap_top, cap_end] = InkRows("H", font_);
        if (ink_end > ink_top && cap_end > cap_top)
            text_y = (height - latin_h) / 2 + (cap_top + cap_end) / 2 - (ink_top + ink_end) / 2;
    }
    // Both looks start from the skin under the title, so the strip stays seamless.
    auto make = [&](const wxColour& colour) {
        wxBitmap face = skin.IsOk() ? ImageUtil::CropBitmap(skin, at.x, at.y, width, height) : wxBitmap(width, height);
        wxMemoryDC dc(face);
        dc.SetFont(font_);
        dc.SetTextForeground(colour);
        dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
        dc.DrawLabel(plain, wxRect(8, text_y, tw, th), wxALIGN_LEFT | wxALIGN_TOP, accel);
        dc.SelectObject(wxNullBitmap);
        return face;
    };
    normal_ = make(normal_colour);
    current_ = make(current_colour);
    SetSize(normal_.GetSize());
    SetMinSize(normal_.GetSize());

    Bind(wxEVT_PAINT, &PimMenuButton::OnPaint, this);
    Bind(wxEVT_ENTER_WINDOW, &PimMenuButton::OnEnter, this);
    Bind(wxEVT_LEAVE_WINDOW, &PimMenuButton::OnLeave, this);
    Bind(wxEVT_LEFT_DOWN, &PimMenuButton::OnLeftDown, this);
    return true;
}

void PimMenuButton::SetHover(bool hover)
{
    hover_ = hover;
    Refresh();
}

void PimMenuButton::OnPaint(wxPaintEvent& /*event*/)
{
    wxAutoBufferedPaintDC dc(this);
    if (normal_.IsOk())
        dc.DrawBitmap(normal_, 0, 0, true);
    if (hover_ && current_.IsOk())
        dc.DrawBitmap(current_, 0, 0, true);
}

void PimMenuButton::OnEnter(wxMouseEvent& event)
{
    if (hover_allowed_)
        SetHover(true);
    event.Skip();
}

void PimMenuButton::OnLeave(wxMouseEvent& event)
{
    if (hover_allowed_)
        SetHover(false);
    event.Skip();
}

void PimMenuButton::OnLeftDown(wxMouseEvent& event)
{
    wxCommandEvent click(wxEVT_BUTTON, GetId());
    click.SetEventObject(this);
    GetEventHandler()->ProcessEvent(click);
    event.Skip();
}
