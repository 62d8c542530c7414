#include "window/main_app.h"

#include <cstdio>

#include <curl/curl.h>

#include <wx/filesys.h>
#include <wx/fs_arc.h>
#include <wx/image.h>
#include <wx/filename.h>
#include <wx/msgdlg.h>
#include <wx/snglinst.h>
#include <wx/stopwatch.h>
#include <wx/utils.h>

#include "common/app_util.h"
#include "common/command_line.h"
#include "domain/domain_config.h"
#include "domain/domain_option.h"
#include "window/base/face_table.h"
#include "window/main_frame.h"

bool MainApp::handed_over_ = false;

MainApp::MainApp()
{
    pending_timer_.SetOwner(this);
    Bind(wxEVT_TIMER, [this](wxTimerEvent&) { OpenPendingPaths(); }, pending_timer_.GetId());
}

MainApp::~MainApp()
{
    listener_.Stop();
    ReleaseSettings();
}

bool MainApp::OnInit()
{
    // main() has answered --help, --version and bad options already.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i].utf8_string());
    const kestran::CommandLine line = kestran::ParseCommandLine(args);

    wxString error;
    if (!ClaimInstance(line.paths, &error)) {
        if (!handed_over_)
            ReportFatal(error);
        return false;
    }
    // Once, before any thread can use curl (the update check runs on a worker).
    curl_ready_ = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    SetAppDisplayName(AppUtil::GetProductName());
    if (StartUp(&error) == nullptr) {
        ReportFatal(error);
        return false;
    }
    wxArrayString paths;
    for (const std::string& path : line.paths)
        paths.Add(wxString::FromUTF8(path));
    if (!paths.empty())
        OpenPathsLater(paths);
    return true;
}

bool MainApp::ClaimInstance(const std::vector<std::string>& paths, wxString* error)
{
    const std::string dir = kestran::InstanceDir();
    if (dir.empty())
        return true;  // no private place for a socket: every start opens a window
    const std::string socket = kestran::InstanceSocketPath(dir);
    instance_ = std::make_unique<wxSingleInstanceChecker>();
    const wxString lock = wxFileName(wxString::FromUTF8(socket)).GetName() + ".lock";
    if (!instance_->Create(lock, wxString::FromUTF8(dir))) {
        instance_.reset();
        return true;
    }
    if (instance_->IsAnotherRunning()) {
        instance_.reset();
        // The other window may still be starting and not listen yet.
        wxStopWatch watch;
        do {
            if (kestran::HandOverPaths(socket, paths)) {
                handed_over_ = true;
                return false;
            }
            wxMilliSleep(100);
        } while (watch.Time() < 10000);
        *error = _("The window of this program is already open but does not answer.");
        return false;
    }
    listener_.Start(socket, [this](std::vector<std::string> received) { ReceivePaths(std::move(received)); });
    return true;
}

void MainApp::ReceivePaths(std::vector<std::string> paths)
{
    // On the listener's thread: only the copy of the paths crosses to the UI
    // thread, which opens them and raises the window.
    CallAfter([this, paths = std::move(paths)] {
        wxArrayString list;
        for (const std::string& path : paths)
            list.Add(wxString::FromUTF8(path));
        RaiseFrame();
        if (!list.empty())
            OpenPathsLater(list);
    });
}

void MainApp::RaiseFrame()
{
    wxWindow* top = GetTopWindow();
    auto* frame = wxDynamicCast(top, wxTopLevelWindow);
    if (frame == nullptr)
        return;
    if (frame->IsIconized())
        frame->Iconize(false);
    frame->Show(true);
    frame->Raise();
}

void MainApp::OpenPathsLater(const wxArrayString& paths)
{
    pending_paths_.push_back(paths);
    // After the current event: the window is shown before the first message.
    CallAfter([this] { OpenPendingPaths(); });
}

void MainApp::OpenPendingPaths()
{
    auto* frame = wxDynamicCast(GetTopWindow(), MainFrame);
    while (frame != nullptr && !pending_paths_.empty()) {
        if (!frame->OpenPaths(pending_paths_.front())) {
            // A job runs: the files wait for its end instead of being lost.
            if (!pending_timer_.IsRunning())
                pending_timer_.StartOnce(300);
            return;
        }
        pending_paths_.pop_front();
    }
}

int MainApp::OnExit()
{
    listener_.Stop();
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
    return option.LoadFrom(GetOptionFilePath(), error);
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

wxString MainApp::GetOptionFilePath() const
{
    return AppUtil::GetOptionFilePath();
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
