// The layer under the skinned static controls: each holds a pointer to its
// parent's skin image (not owned). The owner sets it right after creating the
// control, with the image the parent's own background was cut from, so the
// control's position in the parent is its position in that image.
//
// On this platform the bases are the toolkit's generic (self-painting)
// controls: their text is drawn by the control itself, so painting the skin
// piece in the erase step is all it takes to get text over the skin.
#ifndef KESTRAN_WINDOW_BASE_GTK_TAV_STATIC_BASES_H
#define KESTRAN_WINDOW_BASE_GTK_TAV_STATIC_BASES_H

#include <wx/bitmap.h>
#include <wx/hyperlink.h>
#include <wx/generic/statbmpg.h>
#include <wx/generic/stattextg.h>

class TavStaticTextBase : public wxGenericStaticText {
public:
    using wxGenericStaticText::wxGenericStaticText;
    void SetBackground(const wxBitmap* skin) { bg_ = skin; Refresh(); }
    bool HasTransparentBackground() override { return true; }

protected:
    const wxBitmap* bg_ = nullptr;
};

class TavStaticBitmapBase : public wxGenericStaticBitmap {
public:
    using wxGenericStaticBitmap::wxGenericStaticBitmap;
    void SetBackground(const wxBitmap* skin) { bg_ = skin; Refresh(); }
    bool HasTransparentBackground() override { return true; }

protected:
    const wxBitmap* bg_ = nullptr;
};

class TavHyperLinkCtrlBase : public wxGenericHyperlinkCtrl {
public:
    using wxGenericHyperlinkCtrl::wxGenericHyperlinkCtrl;
    void SetBackground(const wxBitmap* skin) { bg_ = skin; Refresh(); }
    bool HasTransparentBackground() override { return true; }

protected:
    const wxBitmap* bg_ = nullptr;
};

#endif
