// The application object: the start-up sequence in its fixed order and the
// shut-down that writes the remembered folders back.
#ifndef KESTRAN_WINDOW_MAIN_APP_H
#define KESTRAN_WINDOW_MAIN_APP_H

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <wx/app.h>
#include <wx/arrstr.h>
#include <wx/timer.h>

#include "common/instance_channel.h"

class DomainConfig;
class MainFrame;
class wxSingleInstanceChecker;

class MainApp : public wxApp {
public:
    enum : int { MainFrameId = 2000 };

    MainApp();
    ~MainApp() override;

    // Runs the start-up sequence; on a fatal configuration error shows a
    // message box naming the cause and returns false, so the process ends
    // with a non-zero status. When a window of this user runs on this
    // display already, hands the command line's files to it instead and
    // returns false with HandedOver() true.
    bool OnInit() override;
    // Deletes the settings store, which saves the remembered folders.
    int OnExit() override;

    // The sequence itself: settings store, URL table, archive and image
    // handlers, face table, main frame (built and shown). Null and `error`
    // set when the program cannot go on.
    MainFrame* StartUp(wxString* error);

    // Creates "MainFrame" + product id by run-time class name and builds it.
    // Null, with `error` set, when the class is unknown, is no MainFrame, or
    // cannot build its window.
    static MainFrame* CreateMainFrame(const wxString& class_name, wxString* error);

    // Files and folders for the list (command line, a second start): opened
    // in order as soon as the list can take them.
    void OpenPathsLater(const wxArrayString& paths);

    // True once OnInit gave its files to the window already running.
    static bool HandedOver() { return handed_over_; }

protected:
    // The steps of StartUp, in order. Virtual so that tests can watch them.
    virtual void CreateSettings();
    virtual bool LoadOptions(wxString* error);
    virtual void PrepareImages();
    virtual void LoadTheme();
    virtual MainFrame* MakeFrame(wxString* error);

    // Where Themes/ is: the install folder.
    virtual wxString GetInstallDir() const;
    // The option file: beside the theme in a staged tree, under /etc when installed.
    virtual wxString GetOptionFilePath() const;
    // The run-time class name of the product frame.
    virtual wxString GetFrameClassName() const;
    // Shows a fatal start-up error.
    virtual void ReportFatal(const wxString& message);

    void ReleaseSettings();

    // The single-instance lock and the listener for later starts; false when
    // another window holds the lock (then the paths went to it, or could not).
    // Virtual for programs that run this start-up without being the user's
    // window (the window driver), which must neither hand over nor listen.
    virtual bool ClaimInstance(const std::vector<std::string>& paths, wxString* error);

private:
    void ReceivePaths(std::vector<std::string> paths);  // on the listener's thread
    void OpenPendingPaths();
    void RaiseFrame();

    std::unique_ptr<DomainConfig> settings_;
    bool curl_ready_ = false;
    std::unique_ptr<wxSingleInstanceChecker> instance_;
    kestran::InstanceListener listener_;
    std::deque<wxArrayString> pending_paths_;  // UI thread only
    wxTimer pending_timer_;
    static bool handed_over_;
};

wxDECLARE_APP(MainApp);

#endif
