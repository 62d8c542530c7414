// The face table: every geometric and typographic number of the skin, read
// once at start-up from the theme's face description (Themes/face.xml).
//
// Each entry is four integers. What they mean depends on the reader: a
// rectangle, a colour (x = red, y = green, width = blue), a font (height =
// point size, x != 0 = bold), a three-slice crop or an offset.
#ifndef KESTRAN_WINDOW_BASE_FACE_TABLE_H
#define KESTRAN_WINDOW_BASE_FACE_TABLE_H

#include <cstdint>

#include <wx/string.h>

struct FaceRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

inline bool operator==(const FaceRect& a, const FaceRect& b)
{
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}
inline bool operator!=(const FaceRect& a, const FaceRect& b) { return !(a == b); }

// Reads the face file at `path` (UTF-8 on disk, any path text here) into the
// process-wide table, replacing what an earlier file put there (the table is
// left as it was when the file cannot be opened). Returns -1 when the file
// cannot be opened, else 0, also
// after a parse error: entries read before the error stay, and one line goes
// to standard error. An element defines an entry only when it has attributes;
// a later element with the same key replaces the earlier entry entirely.
int LoadFace(const wxString& path);

// The entry stored under `key` (for example "/face/titlebar/logo"). A key the
// theme does not define yields all zeros and one line on standard error that
// names it, so a broken theme shows up without stopping the program.
FaceRect GetFace(const wxString& key);

// True when the theme defines `key`; never writes anything.
bool HasFace(const wxString& key);

// Number of entries in the table (0 until a face file has been loaded).
size_t FaceCount();

#endif
