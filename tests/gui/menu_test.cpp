// The menu strip through the real main frame: menus opened and switched with
// the pointer (XTest), commands locked while the list is busy, the language
// chosen live and remembered.
#include "work_area_fixture.h"

#include <functional>

#include <wx/menu.h>

#include <gtk/gtk.h>

#include "common/app_util.h"
#include "domain/language.h"
#include "window/base/mox_menu_bar.h"
#include "window/base/pim_menu_bar.h"
#include "window/base/pim_menu_button.h"
#include "window/mox_page_range_window.h"
#include "window/preview_window.h"

namespace {

using namespace workarea;
using guitest::PumpUntil;

bool MenuShown(wxMenu* menu)
{
    return menu != nullptr && menu->m_menu != nullptr && gtk_widget_get_visible(menu->m_menu);
}

class Menus : public WorkArea {
protected:
    void SetUp() override
    {
        SetCatalogueDir(wxString(KESTRAN_STAGE_DIR) + "/Language");
        WorkArea::SetUp();
        menu_ = frame_->GetMoxMenuBar();
        ASSERT_NE(menu_, nullptr);
        titles_ = menu_->GetTitles();
    }
    void TearDown() override
    {
        WorkArea::TearDown();
        ApplyLanguage(LanguageEnglish, GetCatalogueDir());
        SetCatalogueDir(wxString());
    }
    wxPoint TitleCentre(int id) const
    {
        PimMenuButton* title = titles_->GetTitle(id);
        return title->ClientToScreen(wxPoint(title->GetSize().x / 2, title->GetSize().y / 2));
    }

    MoxMenuBar* menu_ = nullptr;
    PIMMenuBar* titles_ = nullptr;
};

TEST_F(Menus, PointerSwitchesMenusAndAClickOnTheOpenTitleClosesIt)
{
    const int file = TavMenuBarBase::FileTitleId, edit = TavMenuBarBase::EditTitleId;
    wxUIActionSimulator& sim = sim_;
    Script script({
        Do([&] { sim.MouseMove(TitleCentre(file)); }),
        Do([&] { sim.MouseClick(); }),
        Until([&] { return titles_->GetOpenTitle() == file && MenuShown(menu_->GetFileMenu()); }),
        Do([&] { sim.MouseMove(TitleCentre(edit)); }),  // onto Edit: it opens without a click
        Until([&] { return titles_->GetOpenTitle() == edit && MenuShown(menu_->GetEditMenu()); }),
        Do([&] { sim.MouseClick(); }),  // the open menu's own title
        Until([&] { return titles_->GetOpenTitle() == -1; }),
    });
    ASSERT_TRUE(PumpUntil([&] { return script.Done(); }, 8000)) << "stuck at step " << script.Reached();
    ASSERT_TRUE(guitest::SyncEvents());  // whatever that click set off has run
    EXPECT_EQ(titles_->GetOpenTitle(), -1) << "it stays closed";
    EXPECT_FALSE(MenuShown(menu_->GetEditMenu()));

    // Escape with the pointer away from the titles, then a click opens again.
    Script again({
        Do([&] { sim.MouseMove(TitleCentre(file)); }),
        Do([&] { sim.MouseClick(); }),
        Until([&] { return titles_->GetOpenTitle() == file; }),
        Do([&] { sim.MouseMove(frame_->ClientToScreen(wxPoint(300, 400))); }),
        Do([&] { sim.Char(WXK_ESCAPE); }),
        Until([&] { return titles_->GetOpenTitle() == -1; }),
        // A click is taken by the closing menu until the server has its
        // release of the pointer.
        Until([&] { return !MenuShown(menu_->GetFileMenu()) && !PopupMenuOpen(); }),
        UntilSynced(),
        Do([&] { sim.MouseMove(TitleCentre(file)); }),
        UntilSynced(),
        Do([&] { sim.MouseClick(); }),
        Until([&] { return titles_->GetOpenTitle() == file; }),
        Do([&] { sim.Char(WXK_ESCAPE); }),
        Until([&] { return titles_->GetOpenTitle() == -1; }),
    });
    ASSERT_TRUE(PumpUntil([&] { return again.Done(); }, 8000)) << "stuck at step " << again.Reached();
}

TEST_F(Menus, CommandsThatChangeTheListAreLockedWhileItIsBusy)
{
    const std::vector<int> locked = {TavMenuBarBase::AddFilesId,   TavMenuBarBase::AddFolderId,
                                     TavMenuBarBase::DeleteId,     TavMenuBarBase::ClearAllId,
                                     TavMenuBarBase::SelectAllId,  TavMenuBarBase::SelectInvertId,
                                     TavMenuBarBase::PreferenceId, LanguageGerman,
                                     LanguageJapanese};
    const std::vector<int> free = {TavMenuBarBase::OpenLogFolderId, TavMenuBarBase::ExitId, TavMenuBarBase::HelpId,
                                   TavMenuBarBase::SupportId,       TavMenuBarBase::CheckUpdateId,
                                   TavMenuBarBase::AboutId};
    const auto enabled = [&](const std::vector<int>& ids) {
        std::vector<bool> states;
        for (int id : ids)
            states.push_back(menu_->IsCommandEnabled(id));
        return states;
    };
    for (int id : free)
        EXPECT_TRUE(menu_->IsCommandEnabled(id)) << id;
    EXPECT_EQ(enabled(locked), std::vector<bool>(locked.size(), true));

    // While a job runs.
    AddThroughDialog(Paths({WritePdf("slow.pdf", fixtures::MakeManyImagesPdf(800, 96))}));
    output_->Send(StartAll);
    EXPECT_EQ(enabled(locked), std::vector<bool>(locked.size(), false));
    EXPECT_EQ(enabled(free), std::vector<bool>(free.size(), true));
    output_->Send(StopJob);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(enabled(locked), std::vector<bool>(locked.size(), true));

    // While files load: the list tells its observers.
    KelSubject list;
    list.Attach(menu_);
    list.Send(ListBusy);
    EXPECT_EQ(enabled(locked), std::vector<bool>(locked.size(), false));
    EXPECT_EQ(enabled(free), std::vector<bool>(free.size(), true));
    list.Send(ListIdle);
    EXPECT_EQ(enabled(locked), std::vector<bool>(locked.size(), true));

    // The rebuilt menus after a language change keep the lock.
    list.Send(ListBusy);
    menu_->Relabel();
    EXPECT_EQ(enabled(locked), std::vector<bool>(locked.size(), false));
    list.Send(ListIdle);
}

TEST_F(Menus, ChoosingALanguageRelabelsEverythingAtOnceAndIsRemembered)
{
    const wxString file = AppUtil::GetLanguageFilePath();
    AddThroughDialog(Paths({WritePdf("a.pdf", fixtures::MakeMultiPagePdf(2))}));
    // The Italian texts, as the catalogue has them.
    ApplyLanguage(LanguageItalian, GetCatalogueDir());
    const wxString add_file = _("Add File"), output_folder = _("Output Folder"), page_range = _("Page Range"),
                   file_name = _("File Name"), file_title = _("File"), start = _("Start ");
    ApplyLanguage(LanguageEnglish, GetCatalogueDir());
    ASSERT_NE(add_file, "Add File") << "no Italian catalogue";

    wxCommandEvent choose(wxEVT_MENU, LanguageItalian);
    menu_->GetEventHandler()->ProcessEvent(choose);
    ASSERT_TRUE(PumpUntil([&] { return TempHome::ReadFile(file) == "110"; }));
    ASSERT_TRUE(guitest::SyncEvents());  // the relabelling queued by the change has run
    EXPECT_EQ(frame_->GetMoxToolBar()->GetButton(MoxToolBar::AddFileId)->GetLabel(), add_file);
    EXPECT_EQ(output_->GetStartButton()->GetLabel(), start);
    EXPECT_EQ(list_->GetGrid()->GetColLabelValue(COL_FILE_NAME), file_name);
    EXPECT_EQ(wxControl::RemoveMnemonics(titles_->GetTitle(TavMenuBarBase::FileTitleId)->GetLabel()), file_title);
    EXPECT_TRUE(menu_->GetLanguageMenu()->IsChecked(LanguageItalian));
    EXPECT_FALSE(menu_->GetLanguageMenu()->IsChecked(LanguageEnglish));
    EXPECT_EQ(_("Page Range"), page_range);
    EXPECT_EQ(_("Output Folder"), output_folder);

    // A new start reads the file and comes up in Italian.
    guitest::DestroyAllTopLevels();
    ApplyLanguage(LanguageEnglish, GetCatalogueDir());
    frame_ = new WatchedFrame;
    ASSERT_TRUE(frame_->Build(2000, "Olvarin Kestran"));
    wxTheApp->SetTopWindow(frame_);
    list_ = frame_->GetSelectWindow();
    output_ = frame_->GetOutputWindow();
    EXPECT_EQ(frame_->GetMoxToolBar()->GetButton(MoxToolBar::AddFileId)->GetLabel(), add_file);
    EXPECT_TRUE(frame_->GetMoxMenuBar()->GetLanguageMenu()->IsChecked(LanguageItalian));
    SaveLanguage(LanguageEnglish);
}

TEST_F(Menus, FirstStartSpeaksTheSystemsLanguage)
{
    wxRemoveFile(AppUtil::GetLanguageFilePath());
    const char* old_language = std::getenv("LANGUAGE");
    const std::string saved = old_language != nullptr ? old_language : "";
    setenv("LANGUAGE", "ja", 1);
    guitest::DestroyAllTopLevels();
    frame_ = new WatchedFrame;
    ASSERT_TRUE(frame_->Build(2000, "Olvarin Kestran"));
    list_ = frame_->GetSelectWindow();
    output_ = frame_->GetOutputWindow();
    if (old_language != nullptr)
        setenv("LANGUAGE", saved.c_str(), 1);
    else
        unsetenv("LANGUAGE");
    EXPECT_EQ(TempHome::ReadFile(AppUtil::GetLanguageFilePath()), "112");
    EXPECT_EQ(frame_->GetMoxToolBar()->GetButton(MoxToolBar::AddFileId)->GetLabel(), _("Add File"));
    EXPECT_NE(_("Add File"), "Add File") << "Japanese texts";
    EXPECT_TRUE(frame_->GetMoxMenuBar()->GetLanguageMenu()->IsChecked(LanguageJapanese));
    SaveLanguage(LanguageEnglish);
}

}  // namespace
