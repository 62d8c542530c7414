#include "window/dnd_file.h"

#include "window/select_window.h"

bool DnDFile::OnDropFiles(wxCoord /*x*/, wxCoord /*y*/, const wxArrayString& names)
{
    return owner_ != nullptr && owner_->AddDropped(names);
}
