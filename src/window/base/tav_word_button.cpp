#include "window/base/tav_word_button.h"

#include <algorithm>
#include <cstring>

#include <wx/dcbuffer.h>
#include <wx/dcclient.h>

#include "window/base/image_util.h"
#include "window/base/tav_focus.h"

namespace {

constexpr unsigned char kDisabledBrightness = 255;

// Copies `slice` into `out` at x, pixel for pixel with alpha (out starts fully
// transparent, so a copy is the same as drawing with the slice's alpha).
void CopyInto(wxImage& out, const wxImage& slice, int x, int width)
{
    if (!slice.IsOk())
        return;
    const int h = std::min(out.GetHeight(), slice.GetHeight());
    for (int dx = 0; dx < width && x + dx < out.GetWidth(); ++dx) {
        const int sx = dx % slice.GetWidth();  // tiles the centre; left and right fit exactly
        for (int y = 0; y < h; ++y) {
            out.SetRGB(x + dx, y, slice.GetRed(sx, y), slice.GetGreen(sx, y), slice.GetBlue(sx, y));
            out.SetAlpha(x + dx, y, slice.HasAlpha() ? slice.GetAlpha(sx, y) : wxIMAGE_ALPHA_OPAQUE);
        }
    }
}

wxImage ToAlphaImage(const wxBitmap& bitmap)
{
    if (!bitmap.IsOk())
        return wxImage();
    wxImage image = bitmap.ConvertToImage();
    if (image.HasMask() && !image.HasAlpha())
        ImageUtil::MaskToAlpha(image);
    return image;
}

}  // namespace

bool TavWordButton::Create(wxWindow* parent, wxWindowID id, const wxPoint& pos)
{
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!wxControl::Create(parent, id, pos, wxDefaultSize, wxBORDER_NONE))
        return false;
    background_mode_ = BackgroundColour;
    text_x_ = 0;
    text_y_ = 0;
    Bind(wxEVT_PAINT, &TavWordButton::OnPaint, this);
    BindTavButtonMouse(this, &state_);
    BindTavFocus(this, [this] { SendTavClick(this); });
    return true;
}

void TavWordButton::Slice(const wxBitmap& source, int left_width, int centre_width, wxBitmap* slices)
{
    for (int i = 0; i < 4; ++i)
        slices[i] = wxNullBitmap;
    if (!source.IsOk())
        return;
    wxBitmap image = source;
    if (source.GetMask() != nullptr && !source.HasAlpha()) {
        wxImage converted = source.ConvertToImage();
        ImageUtil::MaskToAlpha(converted);
        image = wxBitmap(converted);
    }
    const int w = image.GetWidth(), h = image.GetHeight();
    const int right_x = left_width + centre_width;
    slices[SliceLeft] = ImageUtil::CropBitmap(image, 0, 0, left_width, h);
    slices[SliceCentre] = ImageUtil::CropBitmap(image, left_width, 0, centre_width, h);
    slices[SliceRight] = ImageUtil::CropBitmap(image, right_x, 0, w - right_x, h);
}

void TavWordButton::SetBitmaps(const wxBitmap& normal, int left_width, int centre_width, const wxBitmap& current,
                               const wxBitmap& pressed)
{
    const int right_x = left_width + centre_width;
    wxASSERT(normal.IsOk());
    wxASSERT(normal.GetWidth() >= right_x);
    Slice(normal, left_width, centre_width, normal_bitmap_);
    Slice(current, left_width, centre_width, current_bitmap_);
    Slice(pressed, left_width, centre_width, pressed_bitmap_);
}

wxBitmap TavWordButton::Compose(const wxBitmap* slices, int text_width) const
{
    const wxImage left = ToAlphaImage(slices[SliceLeft]);
    const wxImage centre = ToAlphaImage(slices[SliceCentre]);
    const wxImage right = ToAlphaImage(slices[SliceRight]);
    if (!centre.IsOk() || centre.GetWidth() <= 0)
        return wxNullBitmap;
    const int lw = left.IsOk() ? left.GetWidth() : 0;
    const int rw = right.IsOk() ? right.GetWidth() : 0;
    const int h = left.IsOk() ? left.GetHeight() : centre.GetHeight();
    const int width = lw + text_width + rw;
    if (width <= 0 || h <= 0)
        return wxNullBitmap;
    wxImage out(width, h);
    out.InitAlpha();
    std::memset(out.GetAlpha(), 0, static_cast<size_t>(width) * h);
    CopyInto(out, left, 0, lw);
    CopyInto(out, centre, lw, text_width);
    CopyInto(out, right, lw + text_width, rw);
    return wxBitmap(out);
}

void TavWordButton::SetLabel(const wxString& text, const wxFont& font)
{
    label_ = text;
    wxControl::SetLabel(text);
    if (font.IsOk())
        SetFont(font);
    text_x_ = normal_bitmap_[SliceLeft].IsOk() ? normal_bitmap_[SliceLeft].GetWidth() : 0;

    wxCoord text_width = 0, text_height = 0;
    {
        wxClientDC dc(this);
        dc.SetFont(GetFont());
        dc.GetTextExtent(label_, &text_width, &text_height);
    }
    // Without slices (a theme that lacks the image: already reported when
    // loading) the button keeps the label but shows no face.
    normal_bitmap_[SliceComposed] = Compose(normal_bitmap_, text_width);
    if (!normal_bitmap_[SliceComposed].IsOk())
        return;
    SetSize(normal_bitmap_[SliceComposed].GetSize());
    SetMinSize(normal_bitmap_[SliceComposed].GetSize());
    // Dimmed towards white rather than grey: on a light skin a grey slab reads
    // as a different control, a faded one as the same control switched off.
    disabled_bitmap_ = wxBitmap(normal_bitmap_[SliceComposed].ConvertToImage().ConvertToDisabled(kDisabledBrightness));
    current_bitmap_[SliceComposed] = current_bitmap_[SliceCentre].IsOk() ? Compose(current_bitmap_, text_width) : wxNullBitmap;
    pressed_bitmap_[SliceComposed] = pressed_bitmap_[SliceCentre].IsOk() ? Compose(pressed_bitmap_, text_width) : wxNullBitmap;
    Refresh();
}

void TavWordButton::SetBackground(const wxBitmap& bitmap, int mode)
{
    background_ = bitmap;
    background_mode_ = mode;
    background_piece_.Reset();
    Refresh();
}

bool TavWordButton::SetBackgroundColour(const wxColour& colour)
{
    background_mode_ = BackgroundColour;
    return wxControl::SetBackgroundColour(colour);
}

bool TavWordButton::Enable(bool enable)
{
    state_.Enable(enable);
    Refresh();
    wxWindow::Update();
    return wxControl::Enable(enable);
}

const wxBitmap& TavWordButton::GetFaceBitmap() const
{
    const wxBitmap& normal = normal_bitmap_[SliceComposed];
    switch (state_.Get()) {
    case TavStateCurrent:
        return current_bitmap_[SliceComposed].IsOk() ? current_bitmap_[SliceComposed] : normal;
    case TavStatePressed:
    case TavStatePressed2:
        return pressed_bitmap_[SliceComposed].IsOk() ? pressed_bitmap_[SliceComposed] : normal;
    case TavStateDisabled:
        return disabled_bitmap_.IsOk() ? disabled_bitmap_ : normal;
    default:
        return normal;
    }
}

void TavWordButton::OnPaint(wxPaintEvent& /*event*/)
{
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    dc.SetPen(*wxTRANSPARENT_PEN);
    if (background_mode_ == BackgroundColour || !background_.IsOk()) {
        dc.SetBrush(wxBrush(GetBackgroundColour()));
        dc.DrawRectangle(0, 0, size.x, size.y);
    } else if (background_mode_ == BackgroundPiece) {
        background_piece_.Draw(dc, background_, wxRect(GetPosition(), size));
    } else {
        // Tiled: repeat the background horizontally, then cut at our height.
        const wxRect rect(GetPosition(), size);
        for (int x = 0; x < size.x; x += background_.GetWidth())
            dc.DrawBitmap(background_, x, -rect.y, true);
    }

    const wxBitmap& face = GetFaceBitmap();
    if (face.IsOk())
        dc.DrawBitmap(face, 0, 0, true);

    dc.SetFont(GetFont());
    wxColour text = GetForegroundColour();
    if (state_.Get() == TavStateDisabled)  // faded like the face under it
        text.MakeDisabled(kDisabledBrightness);
    dc.SetTextForeground(text);
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    dc.DrawText(label_, text_x_, text_y_);
    DrawTavFocusRing(this, dc, wxRect(size).Deflate(3), text);
}

