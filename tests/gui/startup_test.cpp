// Start-up in its fixed order, its orderly stops, and the main frame it shows:
// in this process through the application object, and as the real program.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <gtest/gtest.h>
#include <wx/ffile.h>
#include <wx/filename.h>
#include <wx/uiaction.h>

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include "common/app_util.h"
#include "domain/domain_config.h"
#include "gui_test_support.h"
#include "support/temp_home.h"
#include "window/base/face_table.h"
#include "window/base/image_util.h"
#include "window/main_frame_kestran.h"

extern char** environ;

namespace {

using guitest::App;
using guitest::PumpUntil;
using guitest::WindowTheme;

class StartUp : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(WindowTheme::WriteInstall(install_.Path())); }
    void TearDown() override
    {
        guitest::DestroyAllTopLevels();
        ImageUtil::SetThemeDir(wxString());
        boxes_.FailForEach();
    }
    const std::vector<std::string> kAllSteps{"settings", "options", "images", "face", "frame"};
    guitest::TempDir install_;
    // A box a start-up shows (a theme image cut outside itself) fails the
    // test instead of waiting for a person.
    guitest::MessageBoxWatcher boxes_;
};

TEST_F(StartUp, RunsInOrderAndShowsTheProductFrame)
{
    wxString error;
    MainFrame* frame = App().RunStartUp(install_.Path(), "", &error);
    ASSERT_NE(frame, nullptr) << error;
    EXPECT_EQ(App().steps, kAllSteps);
    EXPECT_GT(App().faces_when_frame_made, 0u) << "the face table is filled before the frame is built";
    EXPECT_NE(wxDynamicCast(frame, MainFrameKESTRAN), nullptr);
    EXPECT_EQ(wxTheApp->GetTopWindow(), frame);
    EXPECT_TRUE(frame->IsShown());
    EXPECT_EQ(frame->GetId(), 2000);
    EXPECT_EQ(frame->GetTitle(), "Olvarin Kestran");
    ASSERT_NE(g_domain_config, nullptr);
    EXPECT_TRUE(wxFileName::FileExists(AppUtil::GetSettingsFilePath()));
}

TEST_F(StartUp, FrameHasTheScreenImageSizeAndRoundedCorners)
{
    wxString error;
    MainFrame* frame = App().RunStartUp(install_.Path(), "", &error);
    ASSERT_NE(frame, nullptr) << error;
    ASSERT_TRUE(guitest::ShowAndWait(frame));
    EXPECT_EQ(frame->GetSize(), wxSize(WindowTheme::kWidth, WindowTheme::kHeight));
    GdkWindow* window = gtk_widget_get_window(frame->m_widget);
    EXPECT_EQ(gdk_window_get_width(window), WindowTheme::kWidth);
    EXPECT_EQ(gdk_window_get_height(window), WindowTheme::kHeight);
    EXPECT_DOUBLE_EQ(frame->GetCornerRadius(), 10.9);

    // Inside the corner radius the screen shows what lies under the window.
    const wxPoint origin = frame->GetScreenPosition();
    const wxColour skin_corner = guitest::GradientAt(0, 0);
    EXPECT_FALSE(guitest::SameColour(guitest::ScreenPixel(origin), skin_corner));
    EXPECT_FALSE(guitest::SameColour(guitest::ScreenPixel(origin + wxPoint(1, 1)), skin_corner));
    EXPECT_FALSE(guitest::SameColour(guitest::ScreenPixel(origin + wxPoint(WindowTheme::kWidth - 1, 0)),
                                     guitest::GradientAt(WindowTheme::kWidth - 1, 0)));
    EXPECT_TRUE(guitest::ShowsColour(frame, wxPoint(5, 60), guitest::GradientAt(5, 60)));
    EXPECT_TRUE(guitest::ShowsColour(frame, wxPoint(400, 200), guitest::GradientAt(400, 200)));  // beside the file list
}

TEST_F(StartUp, FrameAsksForNoDecoration)
{
    wxString error;
    MainFrame* frame = App().RunStartUp(install_.Path(), "", &error);
    ASSERT_NE(frame, nullptr) << error;
    ASSERT_TRUE(guitest::ShowAndWait(frame));
    EXPECT_TRUE(frame->HasFlag(wxBORDER_NONE));
    EXPECT_TRUE(frame->HasFlag(wxFRAME_SHAPED));
    const unsigned long xid = GDK_WINDOW_XID(gtk_widget_get_window(frame->m_widget));
    const std::string command = "xprop -id " + std::to_string(xid) + " _MOTIF_WM_HINTS";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {0};
    ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
    pclose(pipe);
    // flags, functions, decorations, ...: decorations must be 0.
    unsigned flags = 0, functions = 0, decorations = 1;
    ASSERT_EQ(std::sscanf(std::strchr(line, '=') + 1, " %x, %x, %x", &flags, &functions, &decorations), 3) << line;
    EXPECT_NE(flags & 0x2, 0u) << line;
    EXPECT_EQ(decorations, 0u) << line;
}

TEST_F(StartUp, WithoutUsableOptionFileTheWindowStillComes)
{
    for (const bool missing : {true, false}) {
        SCOPED_TRACE(missing ? "missing" : "without addresses");
        if (missing)
            wxRemoveFile(install_.Path() + "/option.cfg");
        else
            wxFFile(install_.Path() + "/option.cfg", "wb").Write(wxString("<setting><other/></setting>\n"));
        wxString error;
        EXPECT_NE(App().RunStartUp(install_.Path(), "", &error), nullptr) << error;
        EXPECT_TRUE(error.empty()) << error;
        guitest::DestroyAllTopLevels();
    }
}

TEST_F(StartUp, UnknownFrameClassStops)
{
    wxString error;
    EXPECT_EQ(App().RunStartUp(install_.Path(), "MainFrameNOSUCH", &error), nullptr);
    EXPECT_NE(error.Find("MainFrameNOSUCH"), wxNOT_FOUND) << error;
    EXPECT_EQ(App().steps, kAllSteps);
    EXPECT_TRUE(wxTopLevelWindows.empty());
}

TEST_F(StartUp, ClassThatIsNoMainFrameStops)
{
    wxString error;
    EXPECT_EQ(App().RunStartUp(install_.Path(), "MoxPieceWindow", &error), nullptr);
    EXPECT_NE(error.Find("MoxPieceWindow"), wxNOT_FOUND) << error;
    EXPECT_TRUE(wxTopLevelWindows.empty());
}

TEST_F(StartUp, ThemeWithoutScreenImageStops)
{
    std::vector<guitest::ThemeImage> images = WindowTheme::Images();
    images.erase(images.begin());  // image/screen1.png
    ASSERT_TRUE(guitest::WriteTheme(install_.Path() + "/Themes", WindowTheme::Face(), images));
    wxString error;
    testing::internal::CaptureStderr();
    EXPECT_EQ(App().RunStartUp(install_.Path(), "", &error), nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_NE(error.Find("screen1.png"), wxNOT_FOUND) << error;
    EXPECT_TRUE(guitest::SyncEvents());  // a frame it let go of is deleted at idle time
    EXPECT_TRUE(wxTopLevelWindows.empty());
}

// ---------------------------------------------------------------------------
// The real program, started as the user starts it.

class RealProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        const wxString exe = wxString(KESTRAN_STAGE_DIR) + "/bin/kestran";
        ASSERT_TRUE(wxFileName::FileExists(exe)) << exe << " is not built";
        ASSERT_TRUE(WindowTheme::WriteInstall(install_.Path()));
        ASSERT_TRUE(wxFileName::Mkdir(install_.Path() + "/bin"));
        // A copy, not a link: the program finds its install folder through its real path.
        ASSERT_TRUE(wxCopyFile(exe, install_.Path() + "/bin/kestran"));
        ASSERT_EQ(chmod((install_.Path() + "/bin/kestran").utf8_str(), 0755), 0);
        home_.MakeDocuments();
    }
    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        sim_.MouseUp();
    }
    void Start()
    {
        const std::string exe = (install_.Path() + "/bin/kestran").ToStdString();
        errors_ = (install_.Path() + "/stderr.txt").ToStdString();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, errors_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
        ASSERT_EQ(posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    // The program's largest visible window: (x, y, width, height), or empty.
    wxRect FindWindow()
    {
        const std::string command = "xdotool search --onlyvisible --pid " + std::to_string(pid_) +
                                    " 2>/dev/null | while read w; do xdotool getwindowgeometry --shell $w; "
                                    "echo WINDOW_END; done";
        FILE* pipe = popen(command.c_str(), "r");
        wxRect best;
        if (pipe == nullptr)
            return best;
        char line[128];
        wxRect current;
        while (std::fgets(line, sizeof line, pipe) != nullptr) {
            int value = 0;
            if (std::sscanf(line, "X=%d", &value) == 1) current.x = value;
            if (std::sscanf(line, "Y=%d", &value) == 1) current.y = value;
            if (std::sscanf(line, "WIDTH=%d", &value) == 1) current.width = value;
            if (std::sscanf(line, "HEIGHT=%d", &value) == 1) current.height = value;
            if (std::strncmp(line, "WINDOW_END", 10) == 0) {
                if (current.width * current.height > best.width * best.height)
                    best = current;
                current = wxRect();
            }
        }
        pclose(pipe);
        return best;
    }
    // How many windows of the program are shown.
    int VisibleWindows()
    {
        const std::string command = "xdotool search --onlyvisible --pid " + std::to_string(pid_) + " 2>/dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr)
            return 0;
        int count = 0;
        char line[128];
        while (std::fgets(line, sizeof line, pipe) != nullptr)
            ++count;
        pclose(pipe);
        return count;
    }
    // Waits for the program to end; its exit status, or -1.
    int WaitExit(int ms = 8000)
    {
        int status = 0;
        bool ended = false;  // waitpid reaps once: remember it
        PumpUntil([&] { return ended || (ended = waitpid(pid_, &status, WNOHANG) == pid_); }, ms);
        if (!ended)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string Errors() const
    {
        return TempHome::ReadFile(wxString::FromUTF8(errors_.c_str()));
    }

    guitest::TempDir install_;
    TempHome home_;
    pid_t pid_ = -1;
    std::string errors_;
    wxUIActionSimulator sim_;
};

TEST_F(RealProgram, OpensTheWindowAndEndsWithStatusZeroOnClose)
{
    Start();
    wxRect window;
    ASSERT_TRUE(PumpUntil([&] { return (window = FindWindow()).width > 100; }, 10000)) << Errors();
    EXPECT_EQ(window.GetSize(), wxSize(WindowTheme::kWidth, WindowTheme::kHeight));
    // The close button: 20 x 16 at (456, 8) of the title bar, red (200, or 220
    // under the pointer). Once it shows, the program has started up.
    const wxPoint close = window.GetPosition() + wxPoint(466, 16);
    EXPECT_TRUE(PumpUntil([&] { return guitest::SameColour(guitest::ScreenPixel(close), wxColour(210, 0, 0), 10); },
                          10000));
    sim_.MouseMove(close);
    sim_.MouseClick();
    EXPECT_EQ(WaitExit(), 0) << Errors();
    const wxString settings = home_.Path() + "/Documents/Olvarin files/Olvarin Kestran/KESTRAN.cfg";
    EXPECT_TRUE(wxFileName::FileExists(settings));
}

TEST_F(RealProgram, ExitInTheFileMenuEndsWithStatusZero)
{
    // The installed theme, so the menu strip is where the program puts it.
    for (const char* name : {"face.xml", "default.zip"})
        ASSERT_TRUE(wxCopyFile(wxString(KESTRAN_STAGE_DIR) + "/Themes/" + name, install_.Path() + "/Themes/" + name));
    Start();
    wxRect window;
    ASSERT_TRUE(PumpUntil([&] { return (window = FindWindow()).width > 100; }, 10000)) << Errors();
    // "File" is the first title of the strip (face entry /face/menubar at 4, 34).
    // The program takes the input in order whenever it gets to it.
    sim_.MouseMove(window.GetPosition() + wxPoint(4 + 16, 34 + 10));
    sim_.MouseClick();
    // The open menu is a window of its own, and it holds the keyboard.
    ASSERT_TRUE(PumpUntil([&] { return VisibleWindows() >= 2; }, 10000)) << Errors();
    // Up from the top of the open menu selects its last item, "Exit".
    sim_.Char(WXK_UP);
    sim_.Char(WXK_RETURN);
    EXPECT_EQ(WaitExit(), 0) << Errors();
}

TEST_F(RealProgram, MissingOptionFileLeavesOnlyTheWebCommandsOut)
{
    ASSERT_TRUE(wxRemoveFile(install_.Path() + "/option.cfg"));
    Start();
    wxRect box;
    ASSERT_TRUE(PumpUntil([&] { return (box = FindWindow()).width >= WindowTheme::kWidth; }, 10000)) << Errors();
    EXPECT_NE(Errors().find("option.cfg"), std::string::npos) << Errors();
    // The main window, ended the way a user may: Ctrl+Q.
    const std::string keys = "xdotool search --onlyvisible --pid " + std::to_string(pid_) +
                             " | head -n1 | xargs -I{} xdotool windowfocus --sync {} key ctrl+q";
    ASSERT_EQ(std::system(keys.c_str()), 0);
    EXPECT_EQ(WaitExit(), 0) << Errors();
}

}  // namespace
