// The application's top-level window: frameless, exactly the size of the
// skin's screen image, cut to a rounded rectangle. The product frame fills it.
#ifndef KESTRAN_WINDOW_MAIN_FRAME_H
#define KESTRAN_WINDOW_MAIN_FRAME_H

#include <memory>

#include <wx/bitmap.h>
#include <wx/frame.h>
#include <wx/iconbndl.h>

#include "domain/kel_observer.h"
#include "domain/kel_subject.h"

class MainFrame : public wxFrame, public KelObserver, public KelSubject {
public:
    MainFrame() = default;
    ~MainFrame() override;

    // Creates the frame at the background's size with no window-manager
    // decoration, shapes it and sets the icon. False when the frame cannot be
    // created or there is no usable background.
    virtual bool CreateFrame(wxWindowID id, std::unique_ptr<wxBitmap> background, const wxString& title);
    // The product's construction of the whole window (the product frame
    // supplies it). On false, GetBuildError() says why.
    virtual bool Build(wxWindowID id, const wxString& title);
    virtual void OnLanguageChanged(wxCommandEvent& event);
    void Update(KelSubject* subject, void* payload) override;
    using wxFrame::Update;
    // A normal close saves the remembered folders, then ends the process with
    // status 0 at once: nothing is vetoed, a running job ends with the process.
    virtual void OnClose(wxCloseEvent& event);
    virtual double GetCornerRadius() const { return 10.9; }
    // Files and folders from the command line or a second start, taken as a
    // drop on the list would take them. False while a job runs (the list
    // takes no files then): the caller tries again later.
    // This frame has no list and takes nothing.
    virtual bool OpenPaths(const wxArrayString& /*paths*/) { return true; }
    // Puts a language (a language-file identifier) into effect for every text
    // fetched afterwards; the pieces then set their texts again.
    void SetLanguage(int language_id);

    const wxString& GetBuildError() const { return build_error_; }
    const wxBitmap* GetBackgroundBitmap() const { return background_.get(); }

    // The window shape for a width x height frame: a rounded rectangle.
    static wxRegion MakeShape(int width, int height, double radius);
    // The application icon in all its installed sizes, so that the task
    // switcher and a scaled desktop get a sharp one; the theme's logo when
    // the set is missing.
    static wxIconBundle LoadAppIcons();

protected:
    // Ends the process; tests replace it to observe a close.
    virtual void EndProcess(int status);

    wxString build_error_;

private:
    std::unique_ptr<wxBitmap> background_;

    wxDECLARE_DYNAMIC_CLASS(MainFrame);
    wxDECLARE_EVENT_TABLE();
};

#endif
