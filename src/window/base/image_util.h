// Theme images and the bitmap surgery of the skin: loading PNGs from the
// theme archive, cutting pieces, turning masks into alpha, radio glyphs.
// Only the UI thread calls these.
#ifndef KESTRAN_WINDOW_BASE_IMAGE_UTIL_H
#define KESTRAN_WINDOW_BASE_IMAGE_UTIL_H

#include <memory>

#include <wx/bitmap.h>
#include <wx/colour.h>
#include <wx/font.h>
#include <wx/image.h>
#include <wx/string.h>

#include "window/base/face_table.h"

class wxWindow;

class ImageUtil {
public:
    virtual ~ImageUtil() = default;

    // The image stored in the theme archive (Themes/default.zip of the
    // install folder) under `entry`, such as "image/base/close-normal.png".
    // The null bitmap when the entry is missing or cannot be decoded (one
    // line on standard error names it). Nothing is cached.
    static wxBitmap LoadBitmap(const wxString& entry, wxBitmapType type = wxBITMAP_TYPE_PNG);
    // The same as a bitmap the caller owns; null instead of the null bitmap.
    static std::unique_ptr<wxBitmap> LoadNewBitmap(const wxString& entry, wxBitmapType type = wxBITMAP_TYPE_PNG);
    // The same from any ZIP archive.
    static wxBitmap LoadBitmapFromArchive(const wxString& archive_path, const wxString& entry,
                                          wxBitmapType type = wxBITMAP_TYPE_PNG);

    // The theme archive's path: GetThemeDir() + "/default.zip".
    static wxString GetThemeArchivePath();
    // The theme folder, install folder + "/Themes" unless redirected.
    static wxString GetThemeDir();
    // Redirects the theme folder (tests build small themes in temp folders);
    // an empty text returns to the install folder's theme.
    static void SetThemeDir(const wxString& dir);

    // A width x height bitmap holding that rectangle of `bitmap`. A rectangle
    // that does not lie inside the bitmap is a theme fault: a message box says
    // so, and the part outside the source comes out fully transparent.
    // Zero or negative sizes give the null bitmap.
    static wxBitmap CropBitmap(const wxBitmap& bitmap, int x, int y, int width, int height);
    static std::unique_ptr<wxBitmap> CropNewBitmap(const wxBitmap& bitmap, int x, int y, int width, int height);
    // The text of the out-of-bounds message (begins with a blank).
    static wxString CropMessage(int x, int y, int width, int height, int max_width, int max_height);

    // Turns an image with a mask and without alpha into one with alpha
    // (0 where the pixel equals the mask colour, 255 elsewhere) and no mask.
    static void MaskToAlpha(wxImage& image);

    // The platform's radio glyph for `window`, checked or not, on a fully
    // transparent bitmap of the renderer's check-box size.
    static wxBitmap CreateRadioBitmap(wxWindow* window, bool checked);

    // Face readings (see face_table.h): colour = (x, y, width) as RGB, opaque;
    // font = the default GUI font at `height` points, bold when `x` != 0 and
    // the reader honours it.
    static wxColour FaceColour(const FaceRect& face);
    static wxColour FaceColour(const wxString& key) { return FaceColour(GetFace(key)); }
    static wxFont FaceFont(const FaceRect& face, bool honour_bold = true);
    static wxFont FaceFont(const wxString& key, bool honour_bold = true) { return FaceFont(GetFace(key), honour_bold); }
    // The colour of `key`, or `fallback` when the theme does not define it
    // (for readings an older theme may lack).
    static wxColour FaceColourOr(const wxString& key, const wxColour& fallback);
    // The default GUI font at the point size of `key`, in the given weight
    // whatever the entry says.
    static wxFont FaceFont(const wxString& key, wxFontWeight weight);
};

#endif
