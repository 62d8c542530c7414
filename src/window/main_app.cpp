#include "window/main_app.h"

#include <cstdio>

#include <curl/curl.h>

#include <wx/filesys.h>
#include <wx/fs_arc.h>
#include <wx/image.h>
#include <wx/msgdlg.h>

#include "common/app_util.h"
#include "common/face_table.h"
#include "domain/domain_config.h"
#include "domain/domain_option.h"
#include "window/main_frame.h"

MainApp::MainApp() = default;

MainApp::~MainApp()
{
    ReleaseSettings();
}

bool MainApp::OnInit()
{
    // Once, before any thread can use curl (the update check runs on a worker).
    curl_ready_ = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    SetAppDisplayName(AppUtil::GetProductName());
    wxString error;
    if (StartUp(&error) == nullptr) {
        ReportFatal(error);
        return false;
    }
    return true;
}

int MainApp::OnExit()
{
    ReleaseSettings();
    if (curl_ready_) {
        curl_global_cleanup();
        curl_ready_ = false;
    }
    return wxApp::OnExit();
}

void MainApp::ReleaseSettings()
{
    if (settings_) {
        if (g_domain_config == settings_.get())
            g_domain_config = nullptr;
        settings_.reset();  // saves the remembered folders
    }
}

MainFrame* MainApp::StartUp(wxString* error)
{
    CreateSettings();
    wxString options_error;
    if (!LoadOptions(&options_error)) {
        // Only the web commands need the option file; each says so when it
        // is used. The program works on without them.
        std::fprintf(stderr, "%s: %s\n", static_cast<const char*>(AppUtil::GetProductName().utf8_str()),
                     static_cast<const char*>(options_error.utf8_str()));
    }
    // Before any window: the pieces load their images while they are built.
    PrepareImages();
    LoadTheme();
    MainFrame* frame = MakeFrame(error);
    if (frame == nullptr)
        return nullptr;
    SetTopWindow(frame);
    frame->Show(true);
    return frame;
}

void MainApp::CreateSettings()
{
    settings_ = std::make_unique<DomainConfig>(AppUtil::GetSettingsFilePath());
    g_domain_config = settings_.get();
}

bool MainApp::LoadOptions(wxString* error)
{
    DomainOption option;
    return option.LoadFrom(GetInstallDir() + "/option.cfg", error);
}

void MainApp::PrepareImages()
{
    static bool added = false;  // the file system keeps handlers for the whole process
    if (!added) {
        wxFileSystem::AddHandler(new wxArchiveFSHandler);
        added = true;
    }
    wxInitAllImageHandlers();
}

void MainApp::LoadTheme()
{
    // A missing face file leaves the table empty; each missing key is then
    // reported on standard error when it is looked up.
    LoadFace(GetInstallDir() + "/Themes/face.xml");
}

MainFrame* MainApp::MakeFrame(wxString* error)
{
    return CreateMainFrame(GetFrameClassName(), error);
}

MainFrame* MainApp::CreateMainFrame(const wxString& class_name, wxString* error)
{
    wxObject* object = wxCreateDynamicObject(class_name);
    auto* frame = wxDynamicCast(object, MainFrame);
    if (frame == nullptr) {
        delete object;
        if (error != nullptr)
            *error = wxString::Format(_("The main window class \"%s\" is not available."), class_name);
        return nullptr;
    }
    if (!frame->Build(MainFrameId, AppUtil::GetProductName())) {
        if (error != nullptr)
            *error = wxString::Format(_("The main window cannot be built: %s"), frame->GetBuildError());
        if (frame->GetHandle() != nullptr)
            frame->Destroy();
        else
            delete frame;
        return nullptr;
    }
    return frame;
}

wxString MainApp::GetInstallDir() const
{
    return AppUtil::GetInstallDir();
}

wxString MainApp::GetFrameClassName() const
{
    return "MainFrame" + AppUtil::GetProductId();
}

void MainApp::ReportFatal(const wxString& message)
{
    // Also on standard error, for starts without anyone at the screen.
    std::fprintf(stderr, "%s: %s\n", static_cast<const char*>(AppUtil::GetProductName().utf8_str()),
                 static_cast<const char*>(message.utf8_str()));
    wxMessageBox(message, AppUtil::GetProductName(), wxOK | wxICON_ERROR | wxCENTRE);
}
