// The "Check for Update" window against a real HTTP server on loopback:
// what it says while it checks, the three answers, and its life across hides.
#include "work_area_fixture.h"

#include <wx/button.h>
#include <wx/ffile.h>
#include <wx/gauge.h>
#include <wx/stattext.h>

#include "common/app_util.h"
#include "domain/domain_option.h"
#include "support/http_test_server.h"
#include "window/base/mox_menu_bar.h"
#include "window/kel_progress_dialog.h"

namespace {

using namespace workarea;
using guitest::PumpUntil;

std::string UpdateFile(const std::string& version)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<products>\n"
           "  <product name=\"Olvarin Other\" version=\"9.9\"/>\n"
           "  <product name=\"Olvarin Kestran\" version=\"" +
           version + "\"/>\n</products>\n";
}

class UpdateWindow : public WorkArea {
protected:
    void SetUp() override
    {
        WorkArea::SetUp();
        // The update address points at the server; the table adds "-update.xml".
        const wxString option = dir_.Path() + "/option.cfg";
        const std::string xml = "<setting><url><update>" + server_.Url("/kestran") +
                                "</update><product>https://example.com/kestran</product></url></setting>";
        ASSERT_TRUE(TempHome::WriteFile(option, xml));
        ASSERT_TRUE(DomainOption().LoadFrom(option));
    }
    // The menu command, as the user gives it; waits until the window is on screen.
    KelProgressDialog* Check()
    {
        wxCommandEvent menu(wxEVT_MENU, TavMenuBarBase::CheckUpdateId);
        frame_->GetMoxMenuBar()->GetEventHandler()->ProcessEvent(menu);
        KelProgressDialog* dialog = frame_->GetMoxMenuBar()->GetUpdateWindow();
        // GTK finishes showing a window after mapping it, as the server's
        // answers come back, and undoes a hide made before that; nobody
        // closes a window that fast.
        if (dialog != nullptr) {
            EXPECT_TRUE(guitest::WaitShown(dialog));
        }
        return dialog;
    }
    bool WaitAnswer(KelProgressDialog* dialog)
    {
        return PumpUntil([dialog] { return !dialog->IsChecking(); }, 15000);
    }

    HttpTestServer server_;
};

TEST_F(UpdateWindow, ShowsEachAnswerWithRoomForItsButtons)
{
    struct Case {
        const char* what;
        std::string response;
        wxString first, second;
        bool ok;
    };
    // Against the program's own version, so that a new version number changes nothing here.
    const wxString latest = "This version of Olvarin Kestran (" KESTRAN_VERSION ") is the latest version.";
    const Case cases[] = {
        {"newer", HttpTestServer::Ok(UpdateFile("99.0")), "A new version of Olvarin Kestran (99.0) is available.",
         "Click Ok to open download page.", true},
        {"the same", HttpTestServer::Ok(UpdateFile(KESTRAN_VERSION)), latest, "", false},
        {"older", HttpTestServer::Ok(UpdateFile("1.0.3")), latest, "", false},
        {"server error", HttpTestServer::Status(404, "gone"), "The update server answered with an error (HTTP 404).", "",
         false},
        {"not the update file", HttpTestServer::Ok("<html><body>Welcome</body></html>"),
         "The update server's answer is not an update file for this program.", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server_.Serve("/kestran-update.xml", c.response);
        KelProgressDialog* dialog = Check();
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(dialog->IsShown());
        ASSERT_TRUE(WaitAnswer(dialog));
        ASSERT_TRUE(guitest::SyncEvents());
        EXPECT_EQ(dialog->GetFirstLine()->GetLabel(), c.first);
        EXPECT_EQ(dialog->GetSecondLine()->GetLabel(), c.second);
        EXPECT_EQ(dialog->GetOkButton()->IsShown(), c.ok);
        EXPECT_EQ(wxControl::RemoveMnemonics(dialog->GetCancelButton()->GetLabel()), c.ok ? "Cancel" : "OK");
        EXPECT_FALSE(dialog->GetGauge()->IsShown());
        // Everything inside the window, the buttons whole.
        const wxRect client(dialog->GetClientSize());
        for (wxWindow* part : {static_cast<wxWindow*>(dialog->GetFirstLine()), static_cast<wxWindow*>(dialog->GetCancelButton())})
            EXPECT_TRUE(client.Contains(part->GetParent()->GetPosition() + part->GetRect().GetBottomRight()))
                << part->GetRect().GetBottomRight().x << "," << part->GetRect().GetBottomRight().y << " in "
                << client.width << " x " << client.height;
        if (c.ok) {
            wxCommandEvent ok(wxEVT_BUTTON, KelProgressDialog::OkId);
            dialog->GetEventHandler()->ProcessEvent(ok);
            EXPECT_EQ(prompt_.addresses, std::vector<wxString>{"https://example.com/kestran"});
        } else {
            wxCommandEvent cancel(wxEVT_BUTTON, KelProgressDialog::CancelId);
            dialog->GetEventHandler()->ProcessEvent(cancel);
        }
        EXPECT_FALSE(dialog->IsShown());
    }
    EXPECT_EQ(server_.Connections(), 5) << "each showing asked once";
}

TEST_F(UpdateWindow, AHiddenWindowStillGetsItsAnswerAndShowingAgainAsksAgain)
{
    server_.Hold("/kestran-update.xml", HttpTestServer::Ok(UpdateFile("99.1")));
    KelProgressDialog* dialog = Check();
    ASSERT_TRUE(server_.WaitForHeads(1));
    EXPECT_TRUE(dialog->IsChecking());
    EXPECT_EQ(dialog->GetFirstLine()->GetLabel(), "Connecting server");
    EXPECT_TRUE(dialog->GetGauge()->IsShown()) << "the pulsing bar";
    EXPECT_FALSE(dialog->GetOkButton()->IsShown());

    dialog->Close();  // the close box only hides it
    ASSERT_TRUE(guitest::SyncEvents());
    EXPECT_FALSE(dialog->IsShown());
    EXPECT_EQ(frame_->GetMoxMenuBar()->GetUpdateWindow(), dialog);
    Check();  // shown again while the first check runs: no second request
    dialog->Close();
    server_.Release();
    ASSERT_TRUE(WaitAnswer(dialog));
    EXPECT_EQ(dialog->GetFirstLine()->GetLabel(), "A new version of Olvarin Kestran (99.1) is available.");
    EXPECT_EQ(server_.Connections(), 1);

    server_.Serve("/kestran-update.xml", HttpTestServer::Ok(UpdateFile(KESTRAN_VERSION)));
    wxCommandEvent again(wxEVT_MENU, TavMenuBarBase::CheckUpdateId);
    frame_->GetMoxMenuBar()->GetEventHandler()->ProcessEvent(again);
    // Before any answer can arrive: the window starts afresh.
    EXPECT_EQ(dialog->GetFirstLine()->GetLabel(), "Connecting server");
    EXPECT_FALSE(dialog->GetSecondLine()->IsShown());
    ASSERT_TRUE(WaitAnswer(dialog));
    EXPECT_EQ(dialog->GetFirstLine()->GetLabel(), "This version of Olvarin Kestran (" KESTRAN_VERSION ") is the latest version.");
    EXPECT_EQ(server_.Connections(), 2);
}

}  // namespace
