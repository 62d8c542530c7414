#include "gui_test_support.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/ffile.h>
#include <wx/filename.h>
#include <wx/stopwatch.h>
#include <wx/toplevel.h>
#include <wx/wfstream.h>
#include <wx/zipstrm.h>

#include <gtk/gtk.h>

#include "window/base/face_table.h"
#include "window/base/image_util.h"
#include "window/main_frame.h"

extern char** environ;

namespace guitest {

GuiTestApp& App()
{
    return *static_cast<GuiTestApp*>(wxTheApp);
}

bool GuiTestApp::OnInit()
{
    MainApp::PrepareImages();
    return true;
}

MainFrame* GuiTestApp::RunStartUp(const wxString& install_dir, const wxString& frame_class, wxString* error)
{
    install_dir_ = install_dir;
    frame_class_ = frame_class;
    steps.clear();
    faces_when_frame_made = 0;
    fatal_message.clear();
    ImageUtil::SetThemeDir(install_dir + "/Themes");
    recording_ = true;
    MainFrame* frame = StartUp(error);
    recording_ = false;
    return frame;
}

void GuiTestApp::CreateSettings()
{
    if (recording_)
        steps.push_back("settings");
    MainApp::CreateSettings();
}

bool GuiTestApp::LoadOptions(wxString* error)
{
    if (recording_)
        steps.push_back("options");
    return MainApp::LoadOptions(error);
}

void GuiTestApp::PrepareImages()
{
    if (recording_)
        steps.push_back("images");
    MainApp::PrepareImages();
}

void GuiTestApp::LoadTheme()
{
    if (recording_)
        steps.push_back("face");
    MainApp::LoadTheme();
}

MainFrame* GuiTestApp::MakeFrame(wxString* error)
{
    if (recording_) {
        steps.push_back("frame");
        faces_when_frame_made = FaceCount();
    }
    return MainApp::MakeFrame(error);
}

wxString GuiTestApp::GetInstallDir() const
{
    return install_dir_.empty() ? MainApp::GetInstallDir() : install_dir_;
}

wxString GuiTestApp::GetOptionFilePath() const
{
    return install_dir_.empty() ? MainApp::GetOptionFilePath() : install_dir_ + "/option.cfg";
}

wxString GuiTestApp::GetFrameClassName() const
{
    return frame_class_.empty() ? MainApp::GetFrameClassName() : frame_class_;
}

void GuiTestApp::ReportFatal(const wxString& message)
{
    fatal_message = message;  // never a modal box inside the test run
}

int GuiTestApp::FilterEvent(wxEvent& event)
{
    if (event.GetEventType() == wxEVT_PAINT)
        if (auto* painted = wxDynamicCast(event.GetEventObject(), wxWindow))
            for (PaintCounter* counter : paint_counters)
                counter->Seen(painted);
    return MainApp::FilterEvent(event);
}

PaintCounter::PaintCounter(wxWindow* window) : window_(window)
{
    App().paint_counters.push_back(this);
}

PaintCounter::~PaintCounter()
{
    auto& counters = App().paint_counters;
    counters.erase(std::remove(counters.begin(), counters.end(), this), counters.end());
}

void PaintCounter::Seen(wxWindow* painted)
{
    for (wxWindow* window = painted; window != nullptr; window = window->GetParent())
        if (window == window_) {
            ++count_;
            return;
        }
}

bool PumpUntil(const std::function<bool()>& done, int ms)
{
    wxStopWatch watch;
    while (!done() && watch.Time() < ms) {
        wxTheApp->Yield(true);
        wxMilliSleep(5);
    }
    return done();
}

namespace {

// An unmapped window of our own whose property changes come back to us as
// events. The server queues each such event behind every event it sent us
// before, and GDK hands it out only after those (it also releases a lone
// pointer motion that GDK would otherwise hold until its next frame), so its
// arrival marks that everything ahead of it has been handled.
class ServerMarker {
public:
    static ServerMarker& Get()
    {
        static ServerMarker marker;  // made on first use, with the display open
        return marker;
    }
    unsigned Send()
    {
        // Each change is an event of its own, whatever the value.
        const guchar value = static_cast<guchar>(++sent_);
        gdk_property_change(gtk_widget_get_window(widget_), atom_, gdk_atom_intern_static_string("STRING"), 8,
                            GDK_PROP_MODE_REPLACE, &value, 1);
        gdk_display_flush(gdk_display_get_default());
        return sent_;
    }
    unsigned Received() const { return received_; }

private:
    ServerMarker() : atom_(gdk_atom_intern_static_string("KESTRAN_TEST_MARKER"))
    {
        widget_ = gtk_window_new(GTK_WINDOW_POPUP);
        gtk_widget_add_events(widget_, GDK_PROPERTY_CHANGE_MASK);
        gtk_widget_realize(widget_);
        g_signal_connect(widget_, "property-notify-event", G_CALLBACK(&ServerMarker::OnProperty), this);
    }
    static gboolean OnProperty(GtkWidget*, GdkEventProperty* event, gpointer self)
    {
        auto* marker = static_cast<ServerMarker*>(self);
        if (event->atom == marker->atom_ && event->state == GDK_PROPERTY_NEW_VALUE)
            ++marker->received_;
        return FALSE;
    }

    GtkWidget* widget_ = nullptr;
    GdkAtom atom_;
    unsigned sent_ = 0;
    unsigned received_ = 0;
};

void CountFrame(GdkFrameClock*, gpointer frames)
{
    ++*static_cast<int*>(frames);
}

// GTK applies shows, hides, moves and sizes of widgets at a window's next
// frame, not when asked: until then the pointer still finds the old layout.
// Waits for the next frame of every shown top-level window.
bool WaitForFrames(int ms)
{
    struct Watch {
        GdkFrameClock* clock;
        GdkWindow* window;
        gulong handler;
        int frames;
    };
    // A window the click just iconified or hid draws no more frames.
    const auto drawn_or_gone = [](const Watch& w) {
        return w.frames > 0 || !gdk_window_is_viewable(w.window) ||
               (gdk_window_get_state(w.window) & GDK_WINDOW_STATE_ICONIFIED) != 0;
    };
    std::vector<std::unique_ptr<Watch>> watches;
    for (wxWindow* top : wxTopLevelWindows) {
        GdkWindow* window = top->m_widget != nullptr ? gtk_widget_get_window(top->m_widget) : nullptr;
        if (window == nullptr || !gtk_widget_get_mapped(top->m_widget))
            continue;
        GdkFrameClock* clock = gdk_window_get_frame_clock(window);
        if (clock == nullptr)
            continue;
        // Held: a window may go while the loop runs.
        auto watch = std::make_unique<Watch>(
            Watch{GDK_FRAME_CLOCK(g_object_ref(clock)), GDK_WINDOW(g_object_ref(window)), 0, 0});
        watch->handler = g_signal_connect(clock, "after-paint", G_CALLBACK(&CountFrame), &watch->frames);
        gdk_frame_clock_request_phase(clock, GDK_FRAME_CLOCK_PHASE_AFTER_PAINT);
        watches.push_back(std::move(watch));
    }
    const bool drawn = PumpUntil(
        [&] { return std::all_of(watches.begin(), watches.end(), [&](const auto& w) { return drawn_or_gone(*w); }); },
        ms);
    for (const auto& watch : watches) {
        g_signal_handler_disconnect(watch->clock, watch->handler);
        g_object_unref(watch->clock);
        g_object_unref(watch->window);
    }
    return drawn;
}

}  // namespace

bool SyncEvents(int ms)
{
    wxStopWatch watch;
    const bool framed = WaitForFrames(ms);
    const unsigned marker = SendServerMarker();
    const bool from_server = PumpUntil([&] { return ServerMarkerBack(marker); }, ms);
    // The handlers of those events may have queued calls of their own; a call
    // queued now runs after them. Shared: it may outlive a wait that gave up.
    auto called = std::make_shared<bool>(false);
    wxTheApp->CallAfter([called] { *called = true; });
    const bool queued = PumpUntil([&] { return *called && !wxTheApp->HasPendingEvents(); },
                                  std::max(0L, ms - watch.Time()) + 1);
    return framed && from_server && queued;
}

unsigned SendServerMarker()
{
    return ServerMarker::Get().Send();
}

bool ServerMarkerBack(unsigned marker)
{
    return ServerMarker::Get().Received() >= marker;
}

bool ShowAndWait(wxWindow* frame)
{
    frame->Show(true);
    return WaitShown(frame);
}

bool WaitShown(wxWindow* window)
{
    const bool mapped = PumpUntil([window] { return gtk_widget_get_mapped(window->m_widget) != 0; }, kGuardMs);
    PaintCounter paints(window);
    window->Refresh();
    window->Update();
    const bool painted = PumpUntil([&] { return paints.Count() > 0; }, kGuardMs);
    // Painting ends with requests to the server; the marker comes back after
    // the server has carried them out, so the screen shows the window.
    return SyncEvents() && mapped && painted;
}

void DestroyAllTopLevels()
{
    for (wxWindow* top : wxTopLevelWindows)
        top->Destroy();
    PumpUntil([] { return wxTopLevelWindows.empty(); });
}

wxImage GrabScreen(const wxRect& rect)
{
    // Straight from the server: a wxScreenDC blit on GTK 3 can return an older
    // picture of the screen than the one shown.
    GdkPixbuf* pixbuf =
        gdk_pixbuf_get_from_window(gdk_get_default_root_window(), rect.x, rect.y, rect.width, rect.height);
    wxImage image(rect.width, rect.height);
    if (pixbuf == nullptr)
        return image;
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    for (int y = 0; y < rect.height; ++y)
        for (int x = 0; x < rect.width; ++x) {
            const guchar* p = pixels + y * stride + x * channels;
            image.SetRGB(x, y, p[0], p[1], p[2]);
        }
    g_object_unref(pixbuf);
    return image;
}

wxColour ScreenPixel(const wxPoint& p)
{
    const wxImage image = GrabScreen(wxRect(p, wxSize(1, 1)));
    return wxColour(image.GetRed(0, 0), image.GetGreen(0, 0), image.GetBlue(0, 0));
}

::testing::AssertionResult ShowsColour(wxWindow* window, const wxPoint& local, const wxColour& expected,
                                       int tolerance)
{
    const wxPoint at = window->ClientToScreen(local);
    PumpUntil([&] { return static_cast<bool>(SameColour(ScreenPixel(at), expected, tolerance)); }, 1500);
    return SameColour(ScreenPixel(at), expected, tolerance);
}

wxImage GrabWindow(wxWindow* window)
{
    return GrabScreen(wxRect(window->ClientToScreen(wxPoint(0, 0)), window->GetClientSize()));
}

::testing::AssertionResult SameColour(const wxColour& seen, const wxColour& expected, int tolerance)
{
    if (std::abs(seen.Red() - expected.Red()) <= tolerance && std::abs(seen.Green() - expected.Green()) <= tolerance &&
        std::abs(seen.Blue() - expected.Blue()) <= tolerance)
        return ::testing::AssertionSuccess() << "colour " << seen.GetAsString(wxC2S_CSS_SYNTAX).utf8_str();
    return ::testing::AssertionFailure() << "seen " << seen.GetAsString(wxC2S_CSS_SYNTAX).utf8_str() << ", expected "
                                         << expected.GetAsString(wxC2S_CSS_SYNTAX).utf8_str() << " (tolerance "
                                         << tolerance << ")";
}

wxFrame* MakeHostFrame(const wxSize& client, const wxPoint& pos)
{
    // Borderless: outer size == client size, with or without a window manager.
    return new wxFrame(nullptr, wxID_ANY, "Kestran test host", pos, client, wxBORDER_NONE);
}

wxImage SolidImage(int width, int height, const wxColour& colour)
{
    wxImage image(width, height);
    image.SetRGB(wxRect(0, 0, width, height), colour.Red(), colour.Green(), colour.Blue());
    image.InitAlpha();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.SetAlpha(x, y, 255);
    return image;
}

wxImage GradientImage(int width, int height)
{
    wxImage image(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const wxColour c = GradientAt(x, y);
            image.SetRGB(x, y, c.Red(), c.Green(), c.Blue());
        }
    return image;
}

bool WriteTheme(const wxString& dir, const std::string& face_xml, const std::vector<ThemeImage>& images)
{
    if (!wxFileName::Mkdir(dir, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL))
        return false;
    {
        wxFFile face(dir + "/face.xml", "wb");
        if (!face.IsOpened() || !face.Write(face_xml.data(), face_xml.size()))
            return false;
    }
    wxFFileOutputStream file(dir + "/default.zip");
    if (!file.IsOk())
        return false;
    wxZipOutputStream zip(file);
    for (const ThemeImage& item : images) {
        if (!zip.PutNextEntry(wxString::FromUTF8(item.entry)))
            return false;
        if (!item.image.IsOk()) {
            zip.Write(item.bytes.data(), item.bytes.size());
            continue;
        }
        if (!item.image.SaveFile(zip, wxBITMAP_TYPE_PNG))
            return false;
    }
    return zip.Close() && file.Close();
}

std::string WindowTheme::Face()
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<face>
  <titlebar x="0" y="0" width="480" height="32">
    <logo x="8" y="8" width="16" height="16"/>
    <textcolour x="250" y="240" width="230"/>
    <closebutton x="-4"/>
  </titlebar>
  <toolbar x="0" y="40" width="480" height="60">
    <layout x="10" y="0" width="4" height="0"/>
    <font x="1" height="10"/>
    <add-file-image x="20" y="12" width="10"><textcolour x="1" y="2" width="3"/><offsety y="12"/></add-file-image>
    <add-folder-image x="20" y="12" width="10"><textcolour x="1" y="2" width="3"/><offsety y="12"/></add-folder-image>
    <delete-image x="20" y="12" width="10"><textcolour x="1" y="2" width="3"/><offsety y="12"/></delete-image>
    <clear-all-image x="20" y="12" width="10"><textcolour x="1" y="2" width="3"/><offsety y="12"/></clear-all-image>
  </toolbar>
  <base-button>
    <big-button-crop x="10" y="8" width="4" height="30"><textcolour x="4" y="5" width="6"/></big-button-crop>
    <small-button-crop x="6" y="4" width="4" height="20"><textcolour x="7" y="8" width="9"/></small-button-crop>
  </base-button>
  <selectwidow x="10" y="108" width="300" height="120">
    <guide x="10" y="8" width="280" height="100">
      <text-colour x="20" y="30" width="40"/>
      <title-font x="1" height="12"/>
      <content-font x="0" height="9"/>
    </guide>
  </selectwidow>
  <outputwindow x="0" y="240" width="480" height="80">
    <statictext x="10" y="6"/>
    <output-description-font x="1" height="9"/>
    <textctrl height="26"/>
    <start-button y="20"/>
    <start-font x="1" height="10"/>
  </outputwindow>
</face>
)";
}

std::vector<ThemeImage> WindowTheme::Images()
{
    std::vector<ThemeImage> images = {
        {"image/screen1.png", GradientImage(kWidth, kHeight)},
        {"application/application.png", SolidImage(32, 32, wxColour(200, 100, 0))},
        {"image/base/close-normal.png", SolidImage(20, 16, wxColour(200, 0, 0))},
        {"image/base/close-current.png", SolidImage(20, 16, wxColour(220, 0, 0))},
        {"image/base/close-pressed.png", SolidImage(20, 16, wxColour(160, 0, 0))},
        {"image/titlebar/minimize-normal.png", SolidImage(18, 16, wxColour(0, 0, 200))},
        {"image/titlebar/minimize-current.png", SolidImage(18, 16, wxColour(0, 0, 220))},
        {"image/titlebar/minimize-pressed.png", SolidImage(18, 16, wxColour(0, 0, 160))},
    };
    for (const char* state : {"normal", "current", "pressed"}) {
        images.push_back({std::string("image/base/big-") + state + ".png", SolidImage(24, 30, wxColour(250, 150, 0))});
        images.push_back({std::string("image/base/small-") + state + ".png", SolidImage(16, 20, wxColour(230, 230, 230))});
    }
    for (const char* stem : {"add-file", "add-folder", "delete", "clear-all"}) {
        const std::string base = std::string("image/toolbar/") + stem;
        images.push_back({base + "-normal.png", SolidImage(50, 40, wxColour(240, 240, 240))});
        images.push_back({base + "-current.png", SolidImage(50, 40, wxColour(200, 220, 255))});
        images.push_back({base + "-pressed.png", SolidImage(50, 40, wxColour(150, 180, 230))});
    }
    return images;
}

bool WindowTheme::WriteInstall(const wxString& dir)
{
    const std::string option =
        "<setting><url><update>https://example.com/kestran</update><help>https://example.com/help</help>"
        "<support>https://example.com/support</support><product>https://example.com/</product></url></setting>\n";
    if (!wxFileName::Mkdir(dir, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL))
        return false;
    wxFFile file(dir + "/option.cfg", "wb");
    if (!file.IsOpened() || !file.Write(option.data(), option.size()))
        return false;
    file.Close();
    return WriteTheme(dir + "/Themes", Face(), Images());
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/kestran-gui-XXXXXX";
    if (mkdtemp(pattern) != nullptr)
        path_ = wxString::FromUTF8(pattern);
}

TempDir::~TempDir()
{
    if (!path_.empty())
        wxFileName::Rmdir(path_, wxPATH_RMDIR_RECURSIVE);
}

ScopedThemeDir::ScopedThemeDir(const wxString& dir)
{
    old_ = ImageUtil::GetThemeDir();
    ImageUtil::SetThemeDir(dir);
}

ScopedThemeDir::~ScopedThemeDir()
{
    ImageUtil::SetThemeDir(old_);
}

namespace {

// The root names the manager's check window; a manager that has ended may
// leave the name behind, but its window goes with its connection.
bool WindowManagerRunning()
{
    const int status = std::system("id=$(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | "
                                   "sed -n 's/.*window id # *\\(0x[0-9a-fA-F]*\\).*/\\1/p') && "
                                   "[ -n \"$id\" ] && xprop -id \"$id\" >/dev/null 2>&1");
    return status == 0;
}

}  // namespace

ScopedWindowManager::ScopedWindowManager()
{
    char arg0[] = "openbox";
    char arg1[] = "--sm-disable";
    char* argv[] = {arg0, arg1, nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "openbox", nullptr, nullptr, argv, environ) != 0)
        return;
    pid_ = pid;
    if (!PumpUntil([] { return WindowManagerRunning(); }, 5000)) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid_ = 0;
    }
}

ScopedWindowManager::~ScopedWindowManager()
{
    if (pid_ > 0) {
        kill(static_cast<pid_t>(pid_), SIGTERM);
        waitpid(static_cast<pid_t>(pid_), nullptr, 0);
        // The frames it managed are handed back to the root: let that arrive
        // before the next test shows anything.
        PumpUntil([] { return !WindowManagerRunning(); }, kGuardMs);
        SyncEvents();
    }
}

MessageBoxWatcher::MessageBoxWatcher()
{
    // A GLib timeout keeps firing inside the dialog's own modal loop.
    source_ = g_timeout_add(30, reinterpret_cast<GSourceFunc>(&MessageBoxWatcher::OnTick), this);
}

MessageBoxWatcher::~MessageBoxWatcher()
{
    if (source_ != 0)
        g_source_remove(source_);
}

void MessageBoxWatcher::FailForEach() const
{
    for (const Box& box : boxes_)
        ADD_FAILURE() << "message box: " << box.text.utf8_string();
}

int MessageBoxWatcher::OnTick(void* self)
{
    auto* watcher = static_cast<MessageBoxWatcher*>(self);
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr; item = item->next) {
        GtkWidget* widget = GTK_WIDGET(item->data);
        if (!GTK_IS_MESSAGE_DIALOG(widget) || !gtk_widget_get_visible(widget))
            continue;
        gchar* text = nullptr;
        g_object_get(widget, "text", &text, nullptr);
        const gchar* title = gtk_window_get_title(GTK_WINDOW(widget));
        watcher->boxes_.push_back({wxString::FromUTF8(title != nullptr ? title : ""),
                                   wxString::FromUTF8(text != nullptr ? text : "")});
        g_free(text);
        gtk_dialog_response(GTK_DIALOG(widget), GTK_RESPONSE_OK);
    }
    g_list_free(windows);
    return G_SOURCE_CONTINUE;
}

ScriptedPrompt::ScriptedPrompt() : previous_(UserPrompt::GetResponder())
{
    UserPrompt::SetResponder(this);
}

ScriptedPrompt::~ScriptedPrompt()
{
    UserPrompt::SetResponder(previous_);
}

bool ScriptedPrompt::OnMessage(const wxString& text, bool confirm)
{
    messages.push_back(text);
    if (!confirm)
        return true;
    ++confirms;
    if (confirm_answers.empty())
        return true;
    const bool answer = confirm_answers.front();
    confirm_answers.pop_front();
    return answer;
}

wxArrayString ScriptedPrompt::OnChooseFiles(const wxString&, const wxString&, const wxString& wildcard)
{
    last_wildcard = wildcard;
    wxArrayString paths;
    if (!files.empty()) {
        paths = files.front();
        files.pop_front();
    }
    return paths;
}

wxString ScriptedPrompt::OnChooseFolder(const wxString& message, const wxString&)
{
    folder_messages.push_back(message);
    wxString folder;
    if (!folders.empty()) {
        folder = folders.front();
        folders.pop_front();
    }
    return folder;
}

bool ScriptedPrompt::OnAskText(const wxString&, const wxString& initial, wxString* text)
{
    text_initials.push_back(initial);
    if (texts.empty() || !texts.front())
        return false;
    *text = *texts.front();
    texts.pop_front();
    return true;
}

bool UnexpectedPrompt::OnMessage(const wxString& text, bool)
{
    ADD_FAILURE() << "unexpected message box: " << text.utf8_string();
    return false;
}

wxArrayString UnexpectedPrompt::OnChooseFiles(const wxString& message, const wxString&, const wxString&)
{
    ADD_FAILURE() << "unexpected file dialog: " << message.utf8_string();
    return wxArrayString();
}

wxString UnexpectedPrompt::OnChooseFolder(const wxString& message, const wxString&)
{
    ADD_FAILURE() << "unexpected folder dialog: " << message.utf8_string();
    return wxString();
}

bool UnexpectedPrompt::OnAskText(const wxString& message, const wxString&, wxString*)
{
    ADD_FAILURE() << "unexpected text entry: " << message.utf8_string();
    return false;
}

}  // namespace guitest
