// The strip of big picture-and-text buttons under the menu strip: Add File,
// Add Folder, Delete, Clear All. Clicks become notifications for the file
// list; the buttons are disabled while the list is busy or a job runs.
#ifndef KESTRAN_WINDOW_BASE_MOX_TOOL_BAR_H
#define KESTRAN_WINDOW_BASE_MOX_TOOL_BAR_H

#include <array>

#include "window/base/mox_piece_window.h"

class TavWordButton;

class MoxToolBar : public MoxPieceWindow {
public:
    enum ButtonId : int { AddFileId = 1, AddFolderId = 2, DeleteId = 3, ClearAllId = 4 };

    MoxToolBar() = default;
    MoxToolBar(std::unique_ptr<wxBitmap> skin, wxWindow* parent, wxWindowID id, const wxPoint& pos,
               const wxSize& size, long style = wxTAB_TRAVERSAL | wxBORDER_NONE)
    {
        Create(std::move(skin), parent, id, pos, size, style);
    }
    bool Create(std::unique_ptr<wxBitmap> skin, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                const wxSize& size, long style = wxTAB_TRAVERSAL | wxBORDER_NONE);

    // Sets the four translated labels in the toolbar font, then lays the
    // buttons out from the theme's layout entry.
    void Relabel();
    void Update(KelSubject* subject, void* payload) override;
    using MoxPieceWindow::Update;

    // Left edges: x0, then previous left + previous width + gap.
    static std::array<int, 4> LayoutLefts(int x0, int gap, const std::array<int, 4>& widths);

    TavWordButton* GetButton(int id) const;

private:
    void MakeButton(int id, const wxString& stem, const wxString& face_key);
    void EnableButtons(bool enable);
    void OnButton(wxCommandEvent& event);

    std::array<TavWordButton*, 4> buttons_{};
};

#endif
