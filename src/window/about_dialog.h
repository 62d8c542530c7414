// The About box: borderless and drawn in the window's own colours, with the
// product's name, version and build year and a link to its web page.
#ifndef KESTRAN_WINDOW_ABOUT_DIALOG_H
#define KESTRAN_WINDOW_ABOUT_DIALOG_H

#include <wx/bitmap.h>
#include <wx/dialog.h>
#include <wx/hyperlink.h>

class TavHyperLinkCtrl;
class TavWordButton;

class AboutDialog : public wxDialog {
public:
    enum : int { CloseId = 1, LinkId = 2 };

    explicit AboutDialog(wxWindow* parent);

    TavHyperLinkCtrl* GetLink() const { return link_; }
    TavWordButton* GetCloseButton() const { return close_; }
    // The texts the box shows, top to bottom.
    wxString GetVersionText() const;
    wxString GetYearText() const;

private:
    void PaintSkin();
    void OnPaint(wxPaintEvent& event);
    void OnLink(wxHyperlinkEvent& event);

    wxBitmap skin_;
    TavHyperLinkCtrl* link_ = nullptr;
    TavWordButton* close_ = nullptr;
};

#endif
