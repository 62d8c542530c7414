// Shared pieces of the window tests: the one application object of the test
// binary, event pumping, screen pixels, and small themes written to temp folders.
#ifndef KESTRAN_TESTS_GUI_GUI_TEST_SUPPORT_H
#define KESTRAN_TESTS_GUI_GUI_TEST_SUPPORT_H

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/colour.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/string.h>

#include "window/base/user_prompt.h"
#include "window/main_app.h"

class MainFrame;

namespace guitest {

class PaintCounter;

// The application object of the test binary. It is a MainApp, so the
// start-up sequence can be run and watched from a test; its own OnInit only
// registers the archive and image handlers.
class GuiTestApp : public MainApp {
public:
    bool OnInit() override;

    // Runs MainApp::StartUp on `install_dir` (option.cfg, Themes/), recording
    // the steps in `steps`.
    MainFrame* RunStartUp(const wxString& install_dir, const wxString& frame_class, wxString* error);

    std::vector<std::string> steps;
    std::vector<PaintCounter*> paint_counters;
    size_t faces_when_frame_made = 0;
    wxString fatal_message;

    using MainApp::PrepareImages;
    // Deletes the windows scheduled for destruction now, not at idle time.
    using MainApp::DeletePendingObjects;

    // Sees every event before its handlers; counts paints for PaintCounter.
    int FilterEvent(wxEvent& event) override;

protected:
    void CreateSettings() override;
    bool LoadOptions(wxString* error) override;
    void PrepareImages() override;
    void LoadTheme() override;
    MainFrame* MakeFrame(wxString* error) override;
    wxString GetInstallDir() const override;
    wxString GetOptionFilePath() const override;
    wxString GetFrameClassName() const override;
    void ReportFatal(const wxString& message) override;

private:
    wxString install_dir_;
    wxString frame_class_;
    bool recording_ = false;
};

GuiTestApp& App();

// How long a wait may take before the test fails: far beyond what a slow,
// loaded machine needs, so that reaching it means the awaited thing never came.
constexpr int kGuardMs = 5000;

// Processes events until `done` holds or `ms` milliseconds passed; returns `done()`.
bool PumpUntil(const std::function<bool()>& done, int ms = 3000);
// Waits until the windows show the layout asked for (GTK applies it at each
// window's next frame) and every event queued for this program when it was
// called has been handled: what the X server sent (simulated input included,
// as wxUIActionSimulator syncs with the server before it returns), the events
// queued to windows, and the calls those handlers queued in turn. After it, a
// test may check that something did NOT happen. False when `ms` passed first.
bool SyncEvents(int ms = kGuardMs);
// The two halves of SyncEvents' wait on the server, for code that must not
// pump the loop itself (a step run from inside a menu's loop).
unsigned SendServerMarker();
bool ServerMarkerBack(unsigned marker);
// Shows `frame` and waits as WaitShown does.
bool ShowAndWait(wxWindow* frame);
// Waits until a shown window is mapped, painted, the painting has reached the
// X server and the server's answers to the showing have been handled.
bool WaitShown(wxWindow* window);

// Counts the paint events of `window` and of the windows inside it while it lives.
class PaintCounter {
public:
    explicit PaintCounter(wxWindow* window);
    ~PaintCounter();
    PaintCounter(const PaintCounter&) = delete;
    PaintCounter& operator=(const PaintCounter&) = delete;
    int Count() const { return count_; }
    void Seen(wxWindow* painted);

private:
    wxWindow* window_;
    int count_ = 0;
};

// Destroys every top-level window and waits until they are gone.
void DestroyAllTopLevels();

// A rectangle of the screen as the X server shows it.
wxImage GrabScreen(const wxRect& rect);
wxColour ScreenPixel(const wxPoint& screen_point);
// Waits until the screen shows `expected` at `local` of `window` (the X
// server paints on its own schedule), then compares.
::testing::AssertionResult ShowsColour(wxWindow* window, const wxPoint& local, const wxColour& expected,
                                       int tolerance = 0);
// Grabs a window's client area.
wxImage GrabWindow(wxWindow* window);

::testing::AssertionResult SameColour(const wxColour& seen, const wxColour& expected, int tolerance = 0);

// A plain frame for hosting controls at known screen positions.
wxFrame* MakeHostFrame(const wxSize& client = wxSize(400, 300), const wxPoint& pos = wxPoint(40, 40));

// ---------------------------------------------------------------------------
// Small themes written in code, so every number a test checks is known.
struct ThemeImage {
    std::string entry;  // path inside default.zip
    wxImage image;      // stored as PNG; when not valid, `bytes` are stored as they are
    std::string bytes = {};
};

// A solid image; alpha 255 everywhere.
wxImage SolidImage(int width, int height, const wxColour& colour);
// The gradient skin of the test screen: red = x & 255, green = y & 255, blue 90.
wxImage GradientImage(int width, int height);
inline wxColour GradientAt(int x, int y) { return wxColour(x & 255, y & 255, 90); }

// Writes `face_xml` as face.xml and the images as default.zip into `dir`.
bool WriteTheme(const wxString& dir, const std::string& face_xml, const std::vector<ThemeImage>& images);

// The theme of the window tests: a 480 x 320 screen, a 32-pixel title bar
// (logo at 8,8; close button 4 px from the right edge), the toolbar at
// (0, 40, 480, 60) with layout x 10, gap 4, and 50 x 40 toolbar images of
// slices 20 | 10 | 20 (text y 12); the file list at (10, 108, 300 x 120), the
// output strip from y 240 to the bottom.
struct WindowTheme {
    static constexpr int kWidth = 480;
    static constexpr int kHeight = 320;
    static std::string Face();
    static std::vector<ThemeImage> Images();
    // Writes an install tree into `dir`: option.cfg and Themes/.
    static bool WriteInstall(const wxString& dir);
};

// A temporary folder removed with its contents at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const wxString& Path() const { return path_; }

private:
    wxString path_;
};

// Points ImageUtil at a theme folder for the scope, then back.
class ScopedThemeDir {
public:
    explicit ScopedThemeDir(const wxString& dir);
    ~ScopedThemeDir();

private:
    wxString old_;
};

// Runs a window manager (openbox) on the test display for the scope, for the
// few behaviours that need one (iconify). Started() is false without openbox.
class ScopedWindowManager {
public:
    ScopedWindowManager();
    ~ScopedWindowManager();
    bool Started() const { return pid_ > 0; }

private:
    long pid_ = 0;
};

// Answers every message box that opens while it lives (OK), remembering the
// title and text of each, so code that shows one can run inside a test.
class MessageBoxWatcher {
public:
    struct Box {
        wxString title;
        wxString text;
    };
    MessageBoxWatcher();
    ~MessageBoxWatcher();
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;
    const std::vector<Box>& Boxes() const { return boxes_; }
    // Fails the running test once for each box seen.
    void FailForEach() const;

private:
    static int OnTick(void* self);
    std::vector<Box> boxes_;
    unsigned source_ = 0;
};

// Answers every question of the window in place of the user while it lives,
// and remembers what was asked. Queued answers are used in order; without
// one, a confirmation is OK and a dialog is cancelled.
class ScriptedPrompt : public UserPrompt::Responder {
public:
    ScriptedPrompt();
    ~ScriptedPrompt() override;
    ScriptedPrompt(const ScriptedPrompt&) = delete;
    ScriptedPrompt& operator=(const ScriptedPrompt&) = delete;

    bool OnMessage(const wxString& text, bool confirm) override;
    wxArrayString OnChooseFiles(const wxString& message, const wxString& start_dir, const wxString& wildcard) override;
    wxString OnChooseFolder(const wxString& message, const wxString& start_dir) override;
    bool OnAskText(const wxString& message, const wxString& initial, wxString* text) override;
    void OnOpenAddress(const wxString& address) override { addresses.push_back(address); }

    std::vector<wxString> addresses;         // opened in the browser, in order
    std::vector<wxString> messages;          // every message and question, in order
    int confirms = 0;                        // how many of them were questions
    std::deque<bool> confirm_answers;
    std::deque<wxArrayString> files;         // one entry per file dialog
    std::deque<wxString> folders;            // one entry per folder dialog ("" = Cancel)
    std::vector<wxString> folder_messages;
    std::deque<std::optional<wxString>> texts;  // nullopt = Cancel
    std::vector<wxString> text_initials;
    wxString last_wildcard;

private:
    UserPrompt::Responder* previous_;
};

// Installed for the whole test run: a test that opens a dialog it did not
// expect fails instead of waiting for a person.
class UnexpectedPrompt : public UserPrompt::Responder {
public:
    bool OnMessage(const wxString& text, bool confirm) override;
    wxArrayString OnChooseFiles(const wxString& message, const wxString& start_dir, const wxString& wildcard) override;
    wxString OnChooseFolder(const wxString& message, const wxString& start_dir) override;
    bool OnAskText(const wxString& message, const wxString& initial, wxString* text) override;
};

}  // namespace guitest

#endif
