// A piece of the main window: a panel that paints its part of the window's
// skin image and takes part in the notifications as observer and subject.
#ifndef KESTRAN_WINDOW_BASE_MOX_PIECE_WINDOW_H
#define KESTRAN_WINDOW_BASE_MOX_PIECE_WINDOW_H

#include <memory>

#include <wx/bitmap.h>
#include <wx/panel.h>

#include "domain/kel_observer.h"
#include "domain/kel_subject.h"

class MoxPieceWindow : public wxPanel, public KelObserver, public KelSubject {
public:
    MoxPieceWindow() = default;
    MoxPieceWindow(wxWindow* parent, std::unique_ptr<wxBitmap> background, wxWindowID id = wxID_ANY,
                   const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize,
                   long style = wxTAB_TRAVERSAL | wxBORDER_NONE, const wxString& name = wxPanelNameStr);
    ~MoxPieceWindow() override;

    // Creates the panel and takes the background (may be null: the piece then
    // paints its background colour). False when the panel cannot be created.
    bool Create(wxWindow* parent, std::unique_ptr<wxBitmap> background, wxWindowID id = wxID_ANY,
                const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize,
                long style = wxTAB_TRAVERSAL | wxBORDER_NONE, const wxString& name = wxPanelNameStr);

    // Reacts to no code; pieces that listen override it.
    void Update(KelSubject* subject, void* payload) override;
    using wxPanel::Update;

    // Paints the piece's surface: the background bitmap at (0, 0) with its mask.
    virtual void DrawBackground(wxDC& dc);

    // The piece's skin image (null when created without one). Child controls
    // cut their own backgrounds from it at their position.
    const wxBitmap* GetBackgroundBitmap() const { return background_.get(); }

protected:
    void OnPaint(wxPaintEvent& event);

private:
    std::unique_ptr<wxBitmap> background_;

    wxDECLARE_DYNAMIC_CLASS(MoxPieceWindow);
    wxDECLARE_EVENT_TABLE();
};

#endif
