#include "window/main_frame_kestran.h"

#include "common/face_table.h"
#include "common/image_util.h"
#include "window/base/mox_piece_window.h"
#include "window/base/mox_tool_bar.h"
#include "window/base/title_window.h"

wxIMPLEMENT_DYNAMIC_CLASS(MainFrameKESTRAN, MainFrame);

bool MainFrameKESTRAN::Build(wxWindowID id, const wxString& title)
{
    if (!CreateFrame(id, ImageUtil::LoadNewBitmap("image/screen1.png"), title))
        return false;

    // Every piece is a child of the root piece and shows the part of the
    // screen image under it, so together they show the whole image.
    screen_ = ImageUtil::LoadBitmap("image/screen1.png");
    const wxSize size = screen_.GetSize();
    root_ = new MoxPieceWindow(this, std::make_unique<wxBitmap>(screen_), RootPieceId, wxPoint(0, 0), size,
                               wxTAB_TRAVERSAL | wxBORDER_NONE);
    BuildPieces();

    // The frame already has the screen image's size; Fit would go through
    // SetClientSize, which shrinks a borderless GTK frame to 1 x 1 before it is shown.
    Centre(wxBOTH);
    return true;
}

std::unique_ptr<wxBitmap> MainFrameKESTRAN::CutScreen(const wxRect& rect) const
{
    return ImageUtil::CropNewBitmap(screen_, rect.x, rect.y, rect.width, rect.height);
}

void MainFrameKESTRAN::BuildPieces()
{
    const int width = screen_.GetWidth();

    const FaceRect title_face = GetFace("/face/titlebar");
    const wxRect title_rect(0, title_face.y, width, title_face.height);
    title_bar_ = new TitleWindow(CutScreen(title_rect), root_, TitleBarId, title_rect.GetPosition(),
                                 title_rect.GetSize(), wxBORDER_NONE);

    const FaceRect tool_face = GetFace("/face/toolbar");
    const wxRect tool_rect(tool_face.x, tool_face.y, tool_face.width, tool_face.height);
    toolbar_ = new MoxToolBar(CutScreen(tool_rect), root_, ToolBarId, tool_rect.GetPosition(), tool_rect.GetSize(),
                              wxTAB_TRAVERSAL | wxBORDER_NONE);
}

void MainFrameKESTRAN::OnLanguageChanged(wxCommandEvent& event)
{
    MainFrame::OnLanguageChanged(event);
    if (toolbar_ != nullptr) {
        toolbar_->Relabel();
        toolbar_->Refresh();
    }
}

void MainFrameKESTRAN::Update(KelSubject* subject, void* payload)
{
    MainFrame::Update(subject, payload);
}
