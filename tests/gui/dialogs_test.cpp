// Preferences and About through the real main frame: opened from the menu,
// operated from inside their modal loops.
#include "work_area_fixture.h"

#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/notebook.h>
#include <wx/spinctrl.h>

#include "common/app_util.h"
#include "common/string_util.h"
#include "domain/domain_config.h"
#include "domain/domain_option.h"
#include "domain/language.h"
#include "window/about_dialog.h"
#include "window/base/gtk/tav_hyperlink_ctrl.h"
#include "window/base/mox_menu_bar.h"
#include "window/preference_dialog.h"
#include "window/setting_output.h"
#include "window/setting_proxy.h"

namespace {

using namespace workarea;
using guitest::PumpUntil;

class Dialogs : public WorkArea {
protected:
    void SetUp() override
    {
        WorkArea::SetUp();
        settings_ = std::make_unique<DomainConfig>(dir_.Path() + "/KESTRAN.cfg");
        previous_ = g_domain_config;
        g_domain_config = settings_.get();
        ASSERT_TRUE(DomainOption().LoadFrom(wxString(KESTRAN_SOURCE_DIR) + "/data/option.cfg"));
    }
    void TearDown() override
    {
        g_domain_config = previous_;
        settings_.reset();
        WorkArea::TearDown();
    }
    // Runs the menu command; `steps` act on the dialog it opens, from inside its loop.
    void RunWithDialog(int command, std::vector<Step> steps)
    {
        Script script(std::move(steps));
        wxCommandEvent menu(wxEVT_MENU, command);
        frame_->GetMoxMenuBar()->GetEventHandler()->ProcessEvent(menu);
        EXPECT_TRUE(PumpUntil([&] { return script.Done(); }, 8000)) << "stuck at step " << script.Reached();
    }
    // One opening of Preferences: `fill` runs on its page, then `finish` closes it.
    void WithPreferences(const std::function<void(SettingProxy*)>& fill, const std::function<void(PreferenceDialog*)>& finish)
    {
        PreferenceDialog* dialog = nullptr;
        RunWithDialog(TavMenuBarBase::PreferenceId,
                      {Until([&] { return (dialog = OpenTopLevel<PreferenceDialog>()) != nullptr; }), Do([&] {
                           auto* page = dynamic_cast<SettingProxy*>(dialog->GetBook()->GetPage(0));
                           ASSERT_NE(page, nullptr);
                           fill(page);
                           finish(dialog);
                       })});
        EXPECT_TRUE(PumpUntil([] { return OpenTopLevel<PreferenceDialog>() == nullptr; }));
    }

    std::unique_ptr<DomainConfig> settings_;
    DomainConfig* previous_ = nullptr;
};

TEST_F(Dialogs, PreferencesStoreTheProxyForThisRun)
{
    const auto proxy = [&] { return g_domain_config->GetProxy(); };
    WithPreferences(
        [](SettingProxy* page) {
            EXPECT_EQ(page->GetTypeChoice()->GetStringSelection(), "HTTP");
            EXPECT_TRUE(page->GetPasswordField()->HasFlag(wxTE_PASSWORD)) << "the password is masked";
            page->GetAddressField()->ChangeValue("proxy.example.com");
            page->GetPortField()->ChangeValue("3128");
            page->GetUserField()->ChangeValue("ann");
            page->GetPasswordField()->ChangeValue("secret");
        },
        [](PreferenceDialog* dialog) { dialog->Save(); });
    EXPECT_EQ(proxy().address, "proxy.example.com");
    EXPECT_EQ(proxy().port, "3128");
    EXPECT_EQ(proxy().user, "ann");
    EXPECT_EQ(proxy().password, "secret");

    // Reopened: everything stored is shown, so saving again keeps the credentials.
    WithPreferences([](SettingProxy*) {}, [](PreferenceDialog* dialog) { dialog->Save(); });
    EXPECT_EQ(proxy().user, "ann");
    EXPECT_EQ(proxy().password, "secret");
    WithPreferences(
        [](SettingProxy* page) {
            EXPECT_EQ(page->GetAddressField()->GetValue(), "proxy.example.com");
            EXPECT_EQ(page->GetPortField()->GetValue(), "3128");
            EXPECT_EQ(page->GetUserField()->GetValue(), "ann");
            EXPECT_EQ(page->GetPasswordField()->GetValue(), "secret");
        },
        [](PreferenceDialog* dialog) { dialog->Reset(); dialog->EndModal(wxID_CANCEL); });  // Reset, then the close box
    EXPECT_EQ(proxy().address, "proxy.example.com") << "closing stores nothing";

    WithPreferences([](SettingProxy*) {}, [](PreferenceDialog* dialog) {
        dialog->Reset();
        dialog->Save();
    });
    EXPECT_EQ(proxy().address, "");
    EXPECT_EQ(proxy().port, "") << "Reset then Save: no proxy";
}

// The output page: what it saves is used by later jobs and kept in the
// settings file; a save the proxy page refuses stores nothing of it.
TEST_F(Dialogs, PreferencesKeepTheOutputFilters)
{
    struct Case {
        const char* what;
        int size_choice;  // Off, 16, 32, 64, Custom
        int custom;
        bool flat, manifest;
        const char* port;
        const char* side;  // stored, or nullptr: the save was refused
    };
    const Case cases[] = {
        {"32 pixels, flat, list", 2, 0, true, true, "", "32"},
        {"custom, refused by the proxy page", 4, 500, false, false, "99999", nullptr},
        {"custom", 4, 500, false, false, "", "500"},
        {"off", 0, 0, false, false, "", "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const wxString before = ConvertOptions[MIN_IMAGE_SIDE];
        PreferenceDialog* dialog = nullptr;
        RunWithDialog(TavMenuBarBase::PreferenceId,
                      {Until([&] { return (dialog = OpenTopLevel<PreferenceDialog>()) != nullptr; }), Do([&] {
                           auto* proxy = dynamic_cast<SettingProxy*>(dialog->GetBook()->GetPage(0));
                           auto* page = dynamic_cast<SettingOutput*>(dialog->GetBook()->GetPage(1));
                           ASSERT_TRUE(proxy != nullptr && page != nullptr);
                           proxy->GetPortField()->ChangeValue(c.port);
                           page->GetSizeChoice()->SetSelection(c.size_choice);
                           if (c.custom > 0)
                               page->GetCustomSize()->SetValue(c.custom);
                           page->GetFlatBox()->SetValue(c.flat);
                           page->GetManifestBox()->SetValue(c.manifest);
                           dialog->Save();
                           if (c.side == nullptr)
                               dialog->EndModal(wxID_CANCEL);
                       })});
        EXPECT_TRUE(PumpUntil([] { return OpenTopLevel<PreferenceDialog>() == nullptr; }));
        prompt_.messages.clear();
        if (c.side == nullptr) {
            EXPECT_EQ(ConvertOptions[MIN_IMAGE_SIDE], before);
            continue;
        }
        EXPECT_EQ(ConvertOptions[MIN_IMAGE_SIDE], c.side);
        EXPECT_EQ(ConvertOptions[SKIP_FLAT_IMAGES], c.flat ? "1" : "0");
        EXPECT_EQ(ConvertOptions[WRITE_MANIFEST], c.manifest ? "1" : "0");
        ASSERT_TRUE(g_domain_config->Save());
        DomainConfig again(g_domain_config->GetPath());
        EXPECT_EQ(again.GetValue("min-image-side"), c.side);
    }
}

TEST_F(Dialogs, PreferenceLabelsFollowTheLanguage)
{
    SetCatalogueDir(wxString(KESTRAN_STAGE_DIR) + "/Language");
    wxCommandEvent choose(wxEVT_MENU, LanguageGerman);
    frame_->GetMoxMenuBar()->GetEventHandler()->ProcessEvent(choose);
    ASSERT_TRUE(PumpUntil([] { return _("Save") != "Save"; }));
    wxString title, tab;
    WithPreferences([&](SettingProxy* page) {
        auto* dialog = OpenTopLevel<PreferenceDialog>();
        title = dialog->GetTitle();
        tab = dialog->GetBook()->GetPageText(0);
        EXPECT_NE(page, nullptr);
    }, [](PreferenceDialog* dialog) { dialog->EndModal(wxID_CANCEL); });
    EXPECT_EQ(title, _("Preference"));
    EXPECT_NE(title, "Preference");
    EXPECT_EQ(tab, _("Proxy Setting"));
    SaveLanguage(LanguageEnglish);
    ApplyLanguage(LanguageEnglish, GetCatalogueDir());
    SetCatalogueDir(wxString());
}

TEST_F(Dialogs, AboutShowsWhoTheProgramIsAndClosesBothWays)
{
    struct Case {
        const char* what;
        std::function<void(AboutDialog*)> close;
    };
    const Case cases[] = {
        {"its own button", [&](AboutDialog* about) {
             // The server keeps the order: the pointer is over the button when it is pressed.
             sim_.MouseMove(about->GetCloseButton()->ClientToScreen(wxPoint(10, 10)));
             sim_.MouseClick();
         }},
        {"Escape", [&](AboutDialog*) { sim_.Char(WXK_ESCAPE); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AboutDialog* about = nullptr;
        RunWithDialog(TavMenuBarBase::AboutId,
                      {Until([&] {
                           about = OpenTopLevel<AboutDialog>();
                           return about != nullptr && about->IsModal() && gtk_widget_get_mapped(about->m_widget);
                       }),
                       Do([&] {
                           EXPECT_EQ(about->GetSize(), wxSize(380, 232));
                           EXPECT_NE(about->GetVersionText().Find(AppUtil::GetVersion()), wxNOT_FOUND);
                           EXPECT_NE(about->GetYearText().Find(wxString::FromUTF8(StringUtil::GetBuildYear())),
                                     wxNOT_FOUND);
                           // The link, as a click on it sends.
                           wxHyperlinkEvent link(about->GetLink(), about->GetLink()->GetId(), about->GetLink()->GetURL());
                           about->GetLink()->GetEventHandler()->ProcessEvent(link);
                       }),
                       Do([&] { c.close(about); }), Until([] { return OpenTopLevel<AboutDialog>() == nullptr; })});
    }
    EXPECT_EQ(prompt_.addresses,
              (std::vector<wxString>(2, DomainOption::GetUrl("url:product"))));
    EXPECT_FALSE(DomainOption::GetUrl("url:product").empty());
}

}  // namespace
