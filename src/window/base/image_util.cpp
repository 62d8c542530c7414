#include "window/base/image_util.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <wx/dcmemory.h>
#include <wx/filename.h>
#include <wx/filesys.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/renderer.h>
#include <wx/settings.h>
#include <wx/window.h>

#include "common/app_util.h"

namespace {

wxString& ThemeDirOverride()
{
    static wxString dir;
    return dir;
}

}  // namespace

wxString ImageUtil::GetThemeDir()
{
    if (!ThemeDirOverride().empty())
        return ThemeDirOverride();
    return AppUtil::GetInstallDir() + "/Themes";
}

void ImageUtil::SetThemeDir(const wxString& dir)
{
    ThemeDirOverride() = dir;
}

wxString ImageUtil::GetThemeArchivePath()
{
    return GetThemeDir() + "/default.zip";
}

wxBitmap ImageUtil::LoadBitmapFromArchive(const wxString& archive_path, const wxString& entry, wxBitmapType type)
{
    // wxImage logs decoding errors, which a GUI app would show as a modal box.
    wxLogNull quiet;
    const wxString url = wxFileSystem::FileNameToURL(wxFileName(archive_path)) + "#zip:" + entry;
    wxFileSystem fs;
    std::unique_ptr<wxFSFile> file(fs.OpenFile(url, wxFS_READ));
    wxImage image;
    if (file && file->GetStream() != nullptr)
        image.LoadFile(*file->GetStream(), type);
    if (!image.IsOk()) {
        std::fprintf(stderr, "theme image missing or unreadable: %s in %s\n",
                     static_cast<const char*>(entry.utf8_str()), static_cast<const char*>(archive_path.utf8_str()));
        return wxNullBitmap;
    }
    wxBitmap bitmap(image);
    return bitmap.IsOk() ? bitmap : wxNullBitmap;
}

wxBitmap ImageUtil::LoadBitmap(const wxString& entry, wxBitmapType type)
{
    return LoadBitmapFromArchive(GetThemeArchivePath(), entry, type);
}

std::unique_ptr<wxBitmap> ImageUtil::LoadNewBitmap(const wxString& entry, wxBitmapType type)
{
    wxBitmap bitmap = LoadBitmap(entry, type);
    if (!bitmap.IsOk())
        return nullptr;
    return std::make_unique<wxBitmap>(bitmap);
}

wxString ImageUtil::CropMessage(int x, int y, int width, int height, int max_width, int max_height)
{
    return wxString::Format(L" face config is wrong. x=%d,y=%d,width=%d,height=%d; \nMax width is %d,Max height is "
                            L"%d.\n(x+width) must <= Max width AND (y+height) must <= Max height",
                            x, y, width, height, max_width, max_height);
}

wxBitmap ImageUtil::CropBitmap(const wxBitmap& bitmap, int x, int y, int width, int height)
{
    const int w = bitmap.IsOk() ? bitmap.GetWidth() : 0;
    const int h = bitmap.IsOk() ? bitmap.GetHeight() : 0;
    const bool inside = x >= 0 && y >= 0 && x + width <= w && y + height <= h;
    if (w < x + width || h < y + height)
        wxMessageBox(CropMessage(x, y, width, height, w, h), "Message", wxOK | wxCENTRE);
    if (width <= 0 || height <= 0)
        return wxNullBitmap;
    if (inside)
        return bitmap.GetSubBitmap(wxRect(x, y, width, height));

    // Partly or wholly outside: start fully transparent and copy what exists,
    // so no uninitialised pixel ever reaches the screen.
    wxImage out(width, height);
    out.InitAlpha();
    std::memset(out.GetAlpha(), 0, static_cast<size_t>(width) * height);
    if (bitmap.IsOk()) {
        wxImage src = bitmap.ConvertToImage();
        if (src.HasMask() && !src.HasAlpha())
            MaskToAlpha(src);
        const int x0 = std::max(0, x), y0 = std::max(0, y);
        const int x1 = std::min(w, x + width), y1 = std::min(h, y + height);
        for (int sy = y0; sy < y1; ++sy) {
            for (int sx = x0; sx < x1; ++sx) {
                const int dx = sx - x, dy = sy - y;
                out.SetRGB(dx, dy, src.GetRed(sx, sy), src.GetGreen(sx, sy), src.GetBlue(sx, sy));
                out.SetAlpha(dx, dy, src.HasAlpha() ? src.GetAlpha(sx, sy) : wxIMAGE_ALPHA_OPAQUE);
            }
        }
    }
    return wxBitmap(out);
}

std::unique_ptr<wxBitmap> ImageUtil::CropNewBitmap(const wxBitmap& bitmap, int x, int y, int width, int height)
{
    wxBitmap piece = CropBitmap(bitmap, x, y, width, height);
    if (!piece.IsOk())
        return nullptr;
    return std::make_unique<wxBitmap>(piece);
}

void ImageUtil::MaskToAlpha(wxImage& image)
{
    wxASSERT(image.HasMask());
    wxASSERT(!image.HasAlpha());
    if (!image.HasMask() || image.HasAlpha())
        return;
    const unsigned char mr = image.GetMaskRed(), mg = image.GetMaskGreen(), mb = image.GetMaskBlue();
    image.SetAlpha();  // allocates without touching the mask
    const int count = image.GetWidth() * image.GetHeight();
    const unsigned char* rgb = image.GetData();
    unsigned char* alpha = image.GetAlpha();
    for (int i = 0; i < count; ++i, rgb += 3)
        alpha[i] = (rgb[0] == mr && rgb[1] == mg && rgb[2] == mb) ? wxIMAGE_ALPHA_TRANSPARENT : wxIMAGE_ALPHA_OPAQUE;
    image.SetMask(false);
}

wxBitmap ImageUtil::CreateRadioBitmap(wxWindow* window, bool checked)
{
    const wxSize size = wxRendererNative::Get().GetCheckBoxSize(window);
    if (size.x <= 0 || size.y <= 0)
        return wxNullBitmap;
    wxImage clear(size.x, size.y);
    clear.InitAlpha();
    std::memset(clear.GetAlpha(), 0, static_cast<size_t>(size.x) * size.y);
    wxBitmap bitmap(clear, 32);
    {
        wxMemoryDC dc(bitmap);
        wxRendererNative::Get().DrawRadioBitmap(window, dc, wxRect(size), checked ? static_cast<int>(wxCONTROL_CHECKED) : 0);
    }
    return bitmap;
}

wxColour ImageUtil::FaceColour(const FaceRect& face)
{
    return wxColour(static_cast<unsigned char>(face.x & 0xFF), static_cast<unsigned char>(face.y & 0xFF),
                    static_cast<unsigned char>(face.width & 0xFF), wxALPHA_OPAQUE);
}

wxColour ImageUtil::FaceColourOr(const wxString& key, const wxColour& fallback)
{
    return HasFace(key) ? FaceColour(key) : fallback;
}

wxFont ImageUtil::FaceFont(const wxString& key, wxFontWeight weight)
{
    wxFont font = FaceFont(GetFace(key), false);
    font.SetWeight(weight);
    return font;
}

wxFont ImageUtil::FaceFont(const FaceRect& face, bool honour_bold)
{
    wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    if (face.height > 0)
        font.SetPointSize(face.height);
    if (honour_bold && face.x != 0)
        font.SetWeight(wxFONTWEIGHT_BOLD);
    return font;
}
