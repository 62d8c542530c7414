// The file list's drop target: files and folders dropped from the desktop.
#ifndef KESTRAN_WINDOW_DND_FILE_H
#define KESTRAN_WINDOW_DND_FILE_H

#include <wx/dnd.h>

class SelectWindow;

class DnDFile : public wxFileDropTarget {
public:
    explicit DnDFile(SelectWindow* owner) : owner_(owner) {}

    // Folders are scanned for PDF files, PDF files are taken, anything else
    // is refused with a message; true when a load was started.
    bool OnDropFiles(wxCoord x, wxCoord y, const wxArrayString& names) override;
    // The list shows where a drop would go while files are dragged over it.
    wxDragResult OnEnter(wxCoord x, wxCoord y, wxDragResult def) override;
    void OnLeave() override;

private:
    SelectWindow* owner_;  // owns the window this target is set on
};

#endif
