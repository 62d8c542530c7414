#include "window/base/mox_tool_bar.h"

#include <wx/intl.h>

#include "domain/notify_code.h"
#include "window/base/image_util.h"
#include "window/base/tav_word_button.h"

bool MoxToolBar::Create(std::unique_ptr<wxBitmap> skin, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                        const wxSize& size, long style)
{
    if (!MoxPieceWindow::Create(parent, std::move(skin), id, pos, size, style))
        return false;
    MakeButton(AddFileId, "image/toolbar/add-file", "/face/toolbar/add-file-image");
    MakeButton(AddFolderId, "image/toolbar/add-folder", "/face/toolbar/add-folder-image");
    MakeButton(DeleteId, "image/toolbar/delete", "/face/toolbar/delete-image");
    MakeButton(ClearAllId, "image/toolbar/clear-all", "/face/toolbar/clear-all-image");
    Bind(wxEVT_BUTTON, &MoxToolBar::OnButton, this);
    Relabel();
    return true;
}

void MoxToolBar::MakeButton(int id, const wxString& stem, const wxString& face_key)
{
    const FaceRect crop = GetFace(face_key);
    const wxColour text_colour = ImageUtil::FaceColour(face_key + "/textcolour");
    const FaceRect offset = GetFace(face_key + "/offsety");
    const wxBitmap normal = ImageUtil::LoadBitmap(stem + "-normal.png");
    const wxBitmap current = ImageUtil::LoadBitmap(stem + "-current.png");
    const wxBitmap pressed = ImageUtil::LoadBitmap(stem + "-pressed.png");

    auto* button = new TavWordButton(this, id, wxDefaultPosition);
    if (normal.IsOk())
        button->SetBitmaps(normal, crop.x, crop.width, current, pressed);
    if (const wxBitmap* skin = GetBackgroundBitmap(); skin != nullptr)
        button->SetBackground(*skin, TavWordButton::BackgroundPiece);
    button->SetForegroundColour(text_colour);
    button->SetTextY(offset.y);
    buttons_[static_cast<size_t>(id - 1)] = button;
}

TavWordButton* MoxToolBar::GetButton(int id) const
{
    return id >= AddFileId && id <= ClearAllId ? buttons_[static_cast<size_t>(id - 1)] : nullptr;
}

std::array<int, 4> MoxToolBar::LayoutLefts(int x0, int gap, const std::array<int, 4>& widths)
{
    std::array<int, 4> lefts{};
    int x = x0;
    for (size_t i = 0; i < widths.size(); ++i) {
        lefts[i] = x;
        x += widths[i] + gap;
    }
    return lefts;
}

void MoxToolBar::Relabel()
{
    const wxFont font = ImageUtil::FaceFont("/face/toolbar/font");
    const wxString labels[4] = {_("Add File"), _("Add Folder"), _("Delete"), _("Clear All")};
    std::array<int, 4> widths{};
    for (size_t i = 0; i < buttons_.size(); ++i) {
        if (buttons_[i] == nullptr)
            continue;
        buttons_[i]->SetLabel(labels[i], font);
        widths[i] = buttons_[i]->GetSize().x;
    }
    const FaceRect layout = GetFace("/face/toolbar/layout");
    const std::array<int, 4> lefts = LayoutLefts(layout.x, layout.width, widths);
    // Only the left edge moves; each button keeps the size of its composed image.
    for (size_t i = 0; i < buttons_.size(); ++i) {
        if (buttons_[i] != nullptr)
            buttons_[i]->Move(lefts[i], 0);
    }
    Refresh();
}

void MoxToolBar::EnableButtons(bool enable)
{
    for (TavWordButton* button : buttons_) {
        if (button != nullptr)
            button->Enable(enable);
    }
}

void MoxToolBar::Update(KelSubject* subject, void* /*payload*/)
{
    if (subject == nullptr)
        return;
    switch (subject->GetCode()) {
    case LockOptions:
    case ListBusy:
        EnableButtons(false);
        break;
    case UnlockOptions:
    case ListIdle:
        EnableButtons(true);
        break;
    default:
        break;
    }
}

void MoxToolBar::OnButton(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case AddFileId:
        Send(AddFiles);
        break;
    case AddFolderId:
        Send(AddFolder);
        break;
    case DeleteId:
        Send(DeleteSelected);
        break;
    case ClearAllId:
        Send(ClearAll);
        break;
    default:
        event.Skip();
        break;
    }
}
