// The application object: the start-up sequence in its fixed order and the
// shut-down that writes the remembered folders back.
#ifndef KESTRAN_WINDOW_MAIN_APP_H
#define KESTRAN_WINDOW_MAIN_APP_H

#include <memory>

#include <wx/app.h>

class DomainConfig;
class MainFrame;

class MainApp : public wxApp {
public:
    enum : int { MainFrameId = 2000 };

    MainApp();
    ~MainApp() override;

    // Runs the start-up sequence; on a fatal configuration error shows a
    // message box naming the cause and returns false, so the process ends
    // with a non-zero status.
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

protected:
    // The steps of StartUp, in order. Virtual so that tests can watch them.
    virtual void CreateSettings();
    virtual bool LoadOptions(wxString* error);
    virtual void PrepareImages();
    virtual void LoadTheme();
    virtual MainFrame* MakeFrame(wxString* error);

    // Where option.cfg and Themes/ are: the install folder.
    virtual wxString GetInstallDir() const;
    // The run-time class name of the product frame.
    virtual wxString GetFrameClassName() const;
    // Shows a fatal start-up error.
    virtual void ReportFatal(const wxString& message);

    void ReleaseSettings();

private:
    std::unique_ptr<DomainConfig> settings_;
    bool curl_ready_ = false;
};

wxDECLARE_APP(MainApp);

#endif
