// The window without a mouse: the menus from F10 and Alt with the underlined
// letter, the shortcuts shown in the menus, Tab onto the skinned controls
// (which show a focus ring and answer Space), the list walked with the arrow
// and page keys, and the dialogs' Escape, Enter and focus.
#include "work_area_fixture.h"

#include <wx/button.h>
#include <wx/menu.h>
#include <wx/notebook.h>
#include <wx/textctrl.h>

#include <gtk/gtk.h>

#include "domain/domain_config.h"
#include "window/base/mox_menu_bar.h"
#include "window/base/pim_menu_bar.h"
#include "window/base/pim_menu_button.h"
#include "window/base/tav_radio_button.h"
#include "window/base/tav_word_button.h"
#include "window/kel_progress_dialog.h"
#include "window/preference_dialog.h"
#include "window/preview_window.h"
#include "window/setting_proxy.h"

namespace {

using namespace workarea;
using guitest::PumpUntil;

class Keyboard : public WorkArea {
protected:
    void SetUp() override
    {
        WorkArea::SetUp();
        menu_ = frame_->GetMoxMenuBar();
        titles_ = menu_->GetTitles();
        // Without a window manager the keyboard goes to the window under the pointer.
        gtk_window_present(GTK_WINDOW(frame_->m_widget));
        const wxPoint spot = list_->ClientToScreen(wxPoint(list_->GetSize().x / 2, list_->GetSize().y - 10));
        sim_.MouseMove(spot);
        ASSERT_TRUE(PumpUntil([&] { return wxGetMouseState().GetPosition() == spot; }));
        // The empty list shows its guide, not the grid: the keyboard starts on a button.
        output_->GetOpenButton()->SetFocus();
        ASSERT_TRUE(PumpUntil([&] { return frame_->IsActive() && output_->GetOpenButton()->HasFocus(); }));
    }
    // Runs `steps` from timer ticks, so they go on inside the menus' and dialogs' own loops.
    void Run(std::vector<Step> steps)
    {
        Script script(std::move(steps));
        ASSERT_TRUE(PumpUntil([&] { return script.Done(); }, 8000)) << "stuck at step " << script.Reached();
    }
    int SelectedRow() const
    {
        const wxArrayInt rows = list_->GetSelectedRows();
        return rows.size() == 1 ? rows[0] : -1;
    }

    MoxMenuBar* menu_ = nullptr;
    PIMMenuBar* titles_ = nullptr;
};

TEST_F(Keyboard, MenusOpenFromTheKeyboardAndTheShownShortcutsWork)
{
    const int file = TavMenuBarBase::FileTitleId, edit = TavMenuBarBase::EditTitleId;
    EXPECT_EQ(titles_->GetTitle(file)->GetLabel(), "&File");
    EXPECT_EQ(titles_->GetTitle(edit)->GetLabel(), "&Edit");
    EXPECT_TRUE(menu_->GetFileMenu()->GetLabel(TavMenuBarBase::AddFilesId).EndsWith("\tCtrl+O"));
    Run({
        Do([&] { sim_.Char(WXK_F10); }),
        Until([&] { return titles_->GetOpenTitle() == file; }),
        Do([&] { sim_.Char(WXK_ESCAPE); }),
        Until([&] { return titles_->GetOpenTitle() == -1; }),
        Do([&] { sim_.Char('e', wxMOD_ALT); }),
        Until([&] { return titles_->GetOpenTitle() == edit; }),
        Do([&] { sim_.Char(WXK_ESCAPE); }),
        Until([&] { return titles_->GetOpenTitle() == -1; }),
    });

    struct Case {
        int key;
        int modifiers;
        int code;
    };
    const Case cases[] = {{'o', wxMOD_CONTROL, AddFiles}, {'o', wxMOD_CONTROL | wxMOD_SHIFT, AddFolder}};
    prompt_.files.push_back(wxArrayString());  // both dialogs cancelled
    prompt_.folders.push_back(wxString());
    for (const Case& c : cases) {
        Recorder codes;
        menu_->Attach(&codes);
        sim_.Char(c.key, c.modifiers);
        EXPECT_TRUE(PumpUntil([&] { return !codes.codes.empty(); })) << c.code;
        EXPECT_EQ(codes.codes, std::vector<int>{c.code});
        menu_->Detach(&codes);
    }
    // Ctrl+Q ends the real program (RealProgram.MissingOptionFileLeavesOnlyTheWebCommandsOut).
}

TEST_F(Keyboard, ListMovesWithTheArrowAndPageKeysAndThePreviewFollows)
{
    for (const char* name : {"a.pdf", "b.pdf", "c.pdf", "d.pdf"})
        fixtures::WriteFile(fs::path((src_ + "/" + name).utf8_string()), fixtures::MakeLogoPdf(1).bytes);
    AddFolderThroughDialog(src_);
    ASSERT_EQ(list_->GetRowCount(), 4);
    list_->GetGrid()->GetGridWindow()->SetFocus();
    ASSERT_TRUE(PumpUntil([&] { return list_->GetGrid()->GetGridWindow()->HasFocus(); }));
    PreviewWindow* preview = frame_->GetPreviewWindow();
    struct Case {
        int key;
        int row;
    };
    const Case cases[] = {{WXK_DOWN, 0}, {WXK_DOWN, 1}, {WXK_END, 3}, {WXK_UP, 2}, {WXK_HOME, 0}, {WXK_PAGEDOWN, 3},
                          {WXK_PAGEUP, 0}};
    for (const Case& c : cases) {
        sim_.Char(c.key);
        EXPECT_TRUE(PumpUntil([&] { return SelectedRow() == c.row && preview->GetCurrentRow() == c.row; }))
            << "key " << c.key << " to row " << c.row << ", at " << SelectedRow();
    }
    sim_.Char(WXK_DOWN, wxMOD_SHIFT);
    EXPECT_TRUE(PumpUntil([&] { return list_->GetSelectedRows().size() == 2; })) << "Shift adds to the selection";
}

TEST_F(Keyboard, SkinnedControlsShowTheFocusAndAnswerSpace)
{
    TavWordButton* browse = output_->GetBrowseButton();
    const wxImage before = guitest::GrabWindow(browse);
    browse->SetFocus();
    ASSERT_TRUE(PumpUntil([&] { return browse->HasFocus(); }));
    // The server shows the window as it paints it: wait for the picture.
    const auto shows = [&](bool same_as_before) {
        return PumpUntil(
            [&] {
                const wxImage now = guitest::GrabWindow(browse);
                return now.GetSize() == before.GetSize() &&
                       (memcmp(before.GetData(), now.GetData(), before.GetWidth() * before.GetHeight() * 3) == 0) ==
                           same_as_before;
            },
            guitest::kGuardMs);
    };
    EXPECT_TRUE(shows(false)) << "a ring is drawn";

    // Tab moves on, the ring goes with it.
    sim_.Char(WXK_TAB);
    EXPECT_TRUE(PumpUntil([&] { return !browse->HasFocus(); }));
    EXPECT_TRUE(shows(true));

    // Space presses a focused button: Browse asks for a folder.
    prompt_.folders.push_back(out_);
    browse->SetFocus();
    ASSERT_TRUE(PumpUntil([&] { return browse->HasFocus(); }));
    sim_.Char(' ');
    EXPECT_TRUE(PumpUntil([&] { return prompt_.folders.empty(); })) << "Space pressed Browse";
}

TEST_F(Keyboard, DialogsTakeTheFocusAndCloseWithEscape)
{
    DomainConfig settings(dir_.Path() + "/KESTRAN.cfg");
    DomainConfig* previous = g_domain_config;
    g_domain_config = &settings;
    PreferenceDialog* dialog = nullptr;
    SettingProxy* page = nullptr;
    // A guard for each wait inside the modal loop: a step that never comes
    // true must not leave the loop running (the test would hang, not fail).
    const auto within = [](std::function<bool()> condition) {
        return [condition, ticks = 0]() mutable { return condition() || ++ticks > 300; };
    };
    Script script({
        Until([&] { return (dialog = OpenTopLevel<PreferenceDialog>()) != nullptr; }),
        Do([&] {
            page = dynamic_cast<SettingProxy*>(dialog->GetBook()->GetPage(0));
            // Without a window manager the keyboard goes to the window under the pointer.
            sim_.MouseMove(dialog->GetScreenRect().GetPosition() + wxPoint(40, 40));
        }),
        Until(within([&] { return page->GetAddressField()->HasFocus(); })),
        Do([&] {
            EXPECT_TRUE(page->GetAddressField()->HasFocus()) << "the first field has the keyboard";
            EXPECT_TRUE(frame_->GetScreenRect().Contains(dialog->GetScreenRect().GetPosition())) << "centred on the window";
            sim_.Char(WXK_ESCAPE);
        }),
        Until(within([&] { return OpenTopLevel<PreferenceDialog>() == nullptr; })),
        Do([&] {
            if (OpenTopLevel<PreferenceDialog>() != nullptr) {
                ADD_FAILURE() << "Escape did not close Preference";
                dialog->EndModal(wxID_CANCEL);
            }
        }),
    });
    // The steps run from the dialog's own loop, which this call is in.
    wxCommandEvent open(wxEVT_MENU, TavMenuBarBase::PreferenceId);
    menu_->GetEventHandler()->ProcessEvent(open);
    EXPECT_TRUE(PumpUntil([&] { return script.Done(); })) << "stuck at step " << script.Reached();
    g_domain_config = previous;

    // The update window (no server answers here: the address is empty).
    wxCommandEvent check(wxEVT_MENU, TavMenuBarBase::CheckUpdateId);
    menu_->GetEventHandler()->ProcessEvent(check);
    KelProgressDialog* update = menu_->GetUpdateWindow();
    ASSERT_NE(update, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return !update->IsChecking(); }, 20000));
    sim_.MouseMove(update->GetScreenRect().GetPosition() + wxPoint(40, 40));
    EXPECT_TRUE(PumpUntil([&] { return update->GetCancelButton()->HasFocus(); }));
    sim_.Char(WXK_ESCAPE);
    EXPECT_TRUE(PumpUntil([&] { return !update->IsShown(); }));
}

}  // namespace
