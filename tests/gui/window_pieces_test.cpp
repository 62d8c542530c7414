// The main window's title bar and toolbar, built from a small theme whose
// numbers the tests know (gui_test_support.h, WindowTheme).
#include <cstdint>
#include <fstream>
#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <wx/filename.h>
#include <wx/translation.h>
#include <wx/uiaction.h>

#include "domain/convert_options.h"
#include "domain/domain_config.h"
#include "domain/kel_observer.h"
#include "gui_test_support.h"
#include "support/temp_home.h"
#include "window/base/face_table.h"
#include "window/base/image_util.h"
#include "window/base/mox_tool_bar.h"
#include "window/base/tav_bitmap_button.h"
#include "window/base/tav_word_button.h"
#include "window/base/title_window.h"
#include "window/main_frame_kestran.h"

namespace {

using guitest::PumpUntil;
using guitest::WindowTheme;

// The product frame with the process end replaced by a record, so a close
// can be watched without ending the test run.
class WatchedFrame : public MainFrameKESTRAN {
public:
    void OnClose(wxCloseEvent& event) override
    {
        ++closes;
        could_veto = event.CanVeto();
        MainFrameKESTRAN::OnClose(event);
    }
    int closes = 0;
    bool could_veto = false;
    int ended_with = -1;

protected:
    void EndProcess(int status) override { ended_with = status; }
};

class Recorder : public KelObserver {
public:
    void Update(KelSubject* subject, void* payload) override
    {
        codes.push_back(subject->GetCode());
        payloads.push_back(payload);
    }
    std::vector<int> codes;
    std::vector<void*> payloads;
};

class MainWindowPieces : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WindowTheme::WriteInstall(dir_.Path()));
        theme_ = std::make_unique<guitest::ScopedThemeDir>(dir_.Path() + "/Themes");
        ASSERT_EQ(LoadFace(dir_.Path() + "/Themes/face.xml"), 0);
        frame_ = new WatchedFrame;
        ASSERT_TRUE(frame_->Build(2000, "Olvarin Kestran"));
        frame_->Move(60, 50);
        wxTheApp->SetTopWindow(frame_);
    }
    void TearDown() override
    {
        sim_.MouseUp();
        guitest::DestroyAllTopLevels();
        theme_.reset();
        boxes_.FailForEach();
    }
    void ClickAt(wxWindow* window, const wxPoint& local)
    {
        sim_.MouseMove(window->ClientToScreen(local));
        sim_.MouseClick();
        ASSERT_TRUE(guitest::SyncEvents());
    }

    // Where the X server has the frame.
    wxPoint OnServer() const
    {
        gint x = 0, y = 0;
        gdk_window_get_origin(gtk_widget_get_window(frame_->m_widget), &x, &y);
        return wxPoint(x, y);
    }

    // A box the frame shows while it is built (a theme image cut outside
    // itself) fails the test instead of waiting for a person.
    guitest::MessageBoxWatcher boxes_;
    guitest::TempDir dir_;
    std::unique_ptr<guitest::ScopedThemeDir> theme_;
    WatchedFrame* frame_ = nullptr;
    wxUIActionSimulator sim_;
};

// ---------------------------------------------------------------------------
// Toolbar

TEST(ToolbarLayout, LeftEdgesFollowWidthsAndGap)
{
    EXPECT_EQ(MoxToolBar::LayoutLefts(10, 4, {80, 90, 70, 75}), (std::array<int, 4>{10, 94, 188, 262}));
    EXPECT_EQ(MoxToolBar::LayoutLefts(0, 0, {5, 5, 5, 5}), (std::array<int, 4>{0, 5, 10, 15}));
}

TEST_F(MainWindowPieces, ToolbarButtonsStartAtTheLayoutEntry)
{
    MoxToolBar* toolbar = frame_->GetMoxToolBar();
    ASSERT_NE(toolbar, nullptr);
    EXPECT_EQ(toolbar->GetRect(), wxRect(0, 40, 480, 60));
    int expected_left = 10;  // layout x
    for (int id = MoxToolBar::AddFileId; id <= MoxToolBar::ClearAllId; ++id) {
        TavWordButton* button = toolbar->GetButton(id);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->GetPosition(), wxPoint(expected_left, 0)) << "button " << id;
        // 20 | label | 20 from the 50 x 40 images, text at y 12 from the offset entry.
        EXPECT_EQ(button->GetSize(), wxSize(40 + button->GetTextExtent(button->GetLabel()).x, 40));
        EXPECT_EQ(button->GetTextPosition(), wxPoint(20, 12));
        EXPECT_EQ(button->GetForegroundColour(), wxColour(1, 2, 3));
        expected_left += button->GetSize().x + 4;  // layout width = gap
    }
    EXPECT_EQ(toolbar->GetButton(MoxToolBar::DeleteId)->GetLabel(), "Delete");
    EXPECT_TRUE(toolbar->GetButton(MoxToolBar::AddFileId)->GetFont().GetWeight() == wxFONTWEIGHT_BOLD);
}

// A message catalogue with the given translations, in the .mo format.
void WriteMo(const wxString& path, std::vector<std::pair<std::string, std::string>> entries)
{
    entries.insert(entries.begin(), {"", "Content-Type: text/plain; charset=UTF-8\n"});
    const uint32_t n = static_cast<uint32_t>(entries.size());
    const uint32_t originals = 28, translations = originals + 8 * n;
    uint32_t data = translations + 8 * n;
    std::vector<uint32_t> header = {0x950412de, 0, n, originals, translations, 0, 0};
    std::vector<uint32_t> table;
    std::string blob;
    for (int pass = 0; pass < 2; ++pass)
        for (const auto& entry : entries) {
            const std::string& text = pass == 0 ? entry.first : entry.second;
            table.push_back(static_cast<uint32_t>(text.size()));
            table.push_back(data + static_cast<uint32_t>(blob.size()));
            blob += text;
            blob += '\0';
        }
    std::ofstream out(path.ToStdString(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()), header.size() * 4);
    out.write(reinterpret_cast<const char*>(table.data()), table.size() * 4);
    out.write(blob.data(), blob.size());
}

TEST_F(MainWindowPieces, LongerTranslationMovesTheNextButton)
{
    MoxToolBar* toolbar = frame_->GetMoxToolBar();
    const int delete_width = toolbar->GetButton(MoxToolBar::DeleteId)->GetSize().x;
    const int clear_left = toolbar->GetButton(MoxToolBar::ClearAllId)->GetPosition().x;

    guitest::TempDir catalogues;
    ASSERT_TRUE(wxFileName::Mkdir(catalogues.Path() + "/de", wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL));
    WriteMo(catalogues.Path() + "/de/kestran-toolbar-test.mo", {{"Delete", "Auswahl entfernen"}});
    wxFileTranslationsLoader::AddCatalogLookupPathPrefix(catalogues.Path());
    auto* translations = new wxTranslations;
    translations->SetLanguage("de");
    translations->AddCatalog("kestran-toolbar-test");
    wxTranslations::Set(translations);

    toolbar->Relabel();
    const int grown = toolbar->GetButton(MoxToolBar::DeleteId)->GetSize().x - delete_width;
    EXPECT_EQ(toolbar->GetButton(MoxToolBar::DeleteId)->GetLabel(), "Auswahl entfernen");
    EXPECT_GT(grown, 0);
    EXPECT_EQ(toolbar->GetButton(MoxToolBar::ClearAllId)->GetPosition().x, clear_left + grown);
    wxTranslations::Set(nullptr);
    toolbar->Relabel();
}

TEST_F(MainWindowPieces, ToolbarClicksBecomeNotifications)
{
    MoxToolBar* toolbar = frame_->GetMoxToolBar();
    Recorder recorder;
    toolbar->Attach(&recorder);
    guitest::ScriptedPrompt prompt;  // the file list opens its dialogs: cancelled
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    for (int id = MoxToolBar::AddFileId; id <= MoxToolBar::ClearAllId; ++id)
        ClickAt(toolbar->GetButton(id), wxPoint(25, 20));
    EXPECT_EQ(recorder.codes, (std::vector<int>{AddFiles, AddFolder, DeleteSelected, ClearAll}));
    EXPECT_EQ(recorder.payloads, (std::vector<void*>(4, nullptr)));
}

TEST_F(MainWindowPieces, ToolbarLocksWhileBusy)
{
    MoxToolBar* toolbar = frame_->GetMoxToolBar();
    KelSubject list;
    auto states = [&] {
        std::vector<int> s;
        for (int id = MoxToolBar::AddFileId; id <= MoxToolBar::ClearAllId; ++id)
            s.push_back(toolbar->GetButton(id)->IsEnabled() ? 1 : 0);
        return s;
    };
    list.Attach(toolbar);
    list.Send(LockOptions);
    EXPECT_EQ(states(), std::vector<int>(4, 0));
    EXPECT_EQ(toolbar->GetButton(MoxToolBar::DeleteId)->GetState(), TavStateDisabled);
    list.Send(DeleteSelected);  // a code the toolbar does not know changes nothing
    EXPECT_EQ(states(), std::vector<int>(4, 0));
    list.Send(UnlockOptions);
    EXPECT_EQ(states(), std::vector<int>(4, 1));
    list.Send(ListBusy);
    EXPECT_EQ(states(), std::vector<int>(4, 0));
    list.Send(ListIdle);
    EXPECT_EQ(states(), std::vector<int>(4, 1));
}

TEST_F(MainWindowPieces, ToolbarShowsItsSkinBetweenButtons)
{
    MoxToolBar* toolbar = frame_->GetMoxToolBar();
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    const int gap_x = toolbar->GetButton(MoxToolBar::AddFolderId)->GetPosition().x - 2;
    // The toolbar sits at y 40 of the screen image.
    EXPECT_TRUE(guitest::ShowsColour(toolbar, wxPoint(gap_x, 30), guitest::GradientAt(gap_x, 70)));
    EXPECT_TRUE(guitest::ShowsColour(toolbar, wxPoint(470, 55), guitest::GradientAt(470, 95)));
}

// ---------------------------------------------------------------------------
// Title bar

TEST_F(MainWindowPieces, TitleBarLayoutComesFromTheTheme)
{
    TitleWindow* title = frame_->GetTitleWindow();
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->GetRect(), wxRect(0, 0, 480, 32));
    EXPECT_EQ(title->GetBestSize(), wxSize(480, 32));
    // The 32 x 32 logo is shown at 16 x 16.
    EXPECT_EQ(title->GetLogo().GetSize(), wxSize(16, 16));
    // Close ends 4 px before the right edge (closebutton x = -4), minimize touches it.
    EXPECT_EQ(title->GetCloseButton()->GetRect(), wxRect(456, 8, 20, 16));
    EXPECT_EQ(title->GetMinimizeButton()->GetRect(), wxRect(438, 8, 18, 16));
    EXPECT_EQ(title->GetCloseButton()->GetId(), 0);
    EXPECT_EQ(title->GetMinimizeButton()->GetId(), 1);

    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    EXPECT_TRUE(guitest::ShowsColour(title, wxPoint(12, 12), wxColour(200, 100, 0)));
    EXPECT_TRUE(guitest::ShowsColour(title, wxPoint(466, 16), wxColour(200, 0, 0)));
    // The caption starts 10 px after the logo and ends on the logo's bottom line.
    const wxPoint caption = title->GetCaptionPosition();
    EXPECT_EQ(caption.x, 8 + 16 + 10);
    const wxImage shot = guitest::GrabWindow(title);
    int caption_pixels = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = caption.x; x < caption.x + 60; ++x)
            caption_pixels += shot.GetRed(x, y) > 200 && shot.GetGreen(x, y) > 200 && shot.GetBlue(x, y) > 180;
    EXPECT_GT(caption_pixels, 10) << "the caption in its theme colour";
}

TEST_F(MainWindowPieces, CloseButtonQueuesAVetoableClose)
{
    TitleWindow* title = frame_->GetTitleWindow();
    wxCommandEvent click(wxEVT_BUTTON, TitleWindow::CloseId);
    click.SetEventObject(title->GetCloseButton());
    title->GetCloseButton()->GetEventHandler()->ProcessEvent(click);
    EXPECT_EQ(frame_->closes, 0) << "queued, not called";
    ASSERT_TRUE(PumpUntil([&] { return frame_->closes == 1; }));
    EXPECT_TRUE(frame_->could_veto);
    EXPECT_EQ(frame_->ended_with, 0);
}

TEST_F(MainWindowPieces, ClosingSavesTheRememberedFolders)
{
    TempHome home;
    const wxString documents = home.MakeDocuments();
    DomainConfig* old = g_domain_config;
    {
        DomainConfig settings(home.Path() + "/KESTRAN.cfg");
        g_domain_config = &settings;
        ConvertOptions[LAST_OUTPUT_DIR] = documents;
        ASSERT_TRUE(guitest::ShowAndWait(frame_));
        ClickAt(frame_->GetTitleWindow()->GetCloseButton(), wxPoint(10, 8));
        EXPECT_TRUE(PumpUntil([&] { return frame_->ended_with == 0; }));
        const std::string saved = TempHome::ReadFile(home.Path() + "/KESTRAN.cfg");
        EXPECT_NE(saved.find(documents.ToStdString()), std::string::npos) << saved;
        g_domain_config = old;
    }
}

TEST_F(MainWindowPieces, MinimizeIconifiesTheWindow)
{
    guitest::ScopedWindowManager manager;  // iconifying needs a window manager
    ASSERT_TRUE(manager.Started()) << "openbox is needed for this test (scripts/install-deps)";
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    EXPECT_FALSE(frame_->IsIconized());
    ClickAt(frame_->GetTitleWindow()->GetMinimizeButton(), wxPoint(9, 8));
    EXPECT_TRUE(PumpUntil([&] { return frame_->IsIconized(); }));
    EXPECT_EQ(frame_->closes, 0);
}

TEST_F(MainWindowPieces, DraggingTheTitleBarMovesTheWindow)
{
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    const wxPoint start = frame_->GetPosition();
    TitleWindow* title = frame_->GetTitleWindow();
    sim_.MouseMove(title->ClientToScreen(wxPoint(200, 16)));
    sim_.MouseDown();
    ASSERT_TRUE(guitest::SyncEvents());
    for (int step = 1; step <= 5; ++step) {
        // Each step from where the last one moved the window to: wx knows a
        // move at once, the server once GTK has sent it on.
        sim_.MouseMove(title->ClientToScreen(wxPoint(200, 16)) + wxPoint(10, 6));
        ASSERT_TRUE(guitest::SyncEvents());
        ASSERT_TRUE(PumpUntil([&] { return OnServer() == frame_->GetPosition(); }, guitest::kGuardMs));
    }
    sim_.MouseUp();
    ASSERT_TRUE(guitest::SyncEvents());
    EXPECT_EQ(frame_->GetPosition(), start + wxPoint(50, 30));
    EXPECT_FALSE(title->HasCapture());
}

TEST_F(MainWindowPieces, NoMoveAfterTheCaptureIsGone)
{
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    const wxPoint start = frame_->GetPosition();
    TitleWindow* title = frame_->GetTitleWindow();
    sim_.MouseMove(title->ClientToScreen(wxPoint(200, 16)));
    sim_.MouseDown();
    ASSERT_TRUE(guitest::SyncEvents());
    ASSERT_TRUE(title->HasCapture());
    title->ReleaseMouse();  // as when another window takes the capture
    sim_.MouseMove(title->ClientToScreen(wxPoint(260, 40)));
    sim_.MouseUp();
    ASSERT_TRUE(guitest::SyncEvents());
    EXPECT_EQ(frame_->GetPosition(), start);
}

}  // namespace
