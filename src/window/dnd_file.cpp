#include "window/dnd_file.h"

#include "window/select_window.h"

bool DnDFile::OnDropFiles(wxCoord /*x*/, wxCoord /*y*/, const wxArrayString& names)
{
    if (owner_ == nullptr)
        return false;
    owner_->DragEnded();
    return owner_->AddDropped(names);
}

wxDragResult DnDFile::OnEnter(wxCoord x, wxCoord y, wxDragResult def)
{
    if (owner_ != nullptr)
        owner_->DragCrossed(true);
    return wxFileDropTarget::OnEnter(x, y, def);
}

void DnDFile::OnLeave()
{
    if (owner_ != nullptr)
        owner_->DragCrossed(false);
    wxFileDropTarget::OnLeave();
}
