#include "window/main_frame.h"

#include <cstdio>
#include <unistd.h>

#include <wx/dcmemory.h>
#include <wx/icon.h>
#include <wx/iconbndl.h>
#include <wx/region.h>

#include "common/app_util.h"
#include "domain/app_events.h"
#include "domain/domain_config.h"
#include "domain/language.h"
#include "window/base/image_util.h"

wxIMPLEMENT_DYNAMIC_CLASS(MainFrame, wxFrame);

wxBEGIN_EVENT_TABLE(MainFrame, wxFrame)
    EVT_COMMAND(wxID_ANY, EVT_LANGUAGE_CHANGED, MainFrame::OnLanguageChanged)
    EVT_CLOSE(MainFrame::OnClose)
wxEND_EVENT_TABLE()

MainFrame::~MainFrame() = default;

wxRegion MainFrame::MakeShape(int width, int height, double radius)
{
    wxBitmap mask(width, height);
    {
        wxMemoryDC dc(mask);
        dc.SetBackground(*wxBLACK_BRUSH);
        dc.Clear();
        dc.SetPen(*wxWHITE_PEN);
        dc.SetBrush(*wxWHITE_BRUSH);
        dc.DrawRoundedRectangle(0, 0, width, height, radius);
    }
    return wxRegion(mask, *wxBLACK);
}

bool MainFrame::CreateFrame(wxWindowID id, std::unique_ptr<wxBitmap> background, const wxString& title)
{
    if (!background || !background->IsOk()) {
        build_error_ = "The theme has no usable screen image (image/screen1.png).";
        return false;
    }
    background_ = std::move(background);
    const wxSize size = background_->GetSize();
    // wxFRAME_SHAPED alone still gets a window-manager border on this
    // platform; wxBORDER_NONE removes every decoration. The minimize and close
    // flags keep the window manager's own actions (iconify, close) available.
    const long style = wxFRAME_SHAPED | wxBORDER_NONE | wxMINIMIZE_BOX | wxCLOSE_BOX | wxSYSTEM_MENU;
    if (!wxFrame::Create(nullptr, id, title, wxDefaultPosition, size, style, wxFrameNameStr)) {
        build_error_ = "The main window cannot be created.";
        return false;
    }
    // No SetClientSize (nor Fit) on this frame: on GTK a borderless frame
    // given a client size before it is shown comes up 1 x 1.
    SetShape(MakeShape(size.x, size.y, GetCornerRadius()));

    SetIcons(LoadAppIcons());
    return true;
}

wxIconBundle MainFrame::LoadAppIcons()
{
    wxIconBundle icons;
    for (const wxString& path : AppUtil::GetAppIconPaths())
        icons.AddIcon(path, wxBITMAP_TYPE_PNG);
    if (icons.IsEmpty()) {
        // Without the icon set (a tree not built by CMake) the theme's logo
        // still marks the window.
        const wxBitmap logo = ImageUtil::LoadBitmap("application/application.png");
        if (logo.IsOk()) {
            wxIcon icon;
            icon.CopyFromBitmap(logo);
            icons.AddIcon(icon);
        }
    }
    return icons;
}

bool MainFrame::Build(wxWindowID /*id*/, const wxString& /*title*/)
{
    build_error_ = "MainFrame has no window of its own to build.";
    return false;
}

void MainFrame::OnLanguageChanged(wxCommandEvent& /*event*/) {}

void MainFrame::SetLanguage(int language_id)
{
    ApplyLanguage(language_id, GetCatalogueDir());
}

void MainFrame::Update(KelSubject* /*subject*/, void* /*payload*/) {}

void MainFrame::OnClose(wxCloseEvent& /*event*/)
{
    if (g_domain_config != nullptr)
        g_domain_config->Save();
    EndProcess(0);
}

void MainFrame::EndProcess(int status)
{
    // At once: workers may still run, so no static destructor may run after us.
    std::fflush(nullptr);
    _exit(status);
}
