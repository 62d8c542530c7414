#include "window/base/tav_menu_bar_base.h"

#include <wx/app.h>
#include <wx/window.h>

#include "common/app_util.h"
#include "common/file_util.h"
#include "domain/app_events.h"
#include "domain/domain_option.h"
#include "window/base/user_prompt.h"

namespace {

void OpenAddress(const wxString& key)
{
    UserPrompt::OpenAddress(DomainOption::GetUrl(key));
}

}  // namespace

void TavMenuBarBase::Update(KelSubject* /*subject*/, void* /*payload*/) {}

bool TavMenuBarBase::RunCommand(int id)
{
    for (const OfferedLanguage& language : OfferedLanguages())
        if (language.id == id) {
            OnLanguage(id);
            return true;
        }
    switch (id) {
    case AddFilesId:
        OnAddFiles();
        return true;
    case AddFolderId:
        OnAddFolder();
        return true;
    case OpenLogFolderId:
        OnOpenLogFolder();
        return true;
    case ExitId:
        OnExit();
        return true;
    case DeleteId:
        OnDelete();
        return true;
    case ClearAllId:
        OnClearAll();
        return true;
    case SelectAllId:
        OnSelectAll();
        return true;
    case SelectInvertId:
        OnSelectInvert();
        return true;
    case PreferenceId:
        OnPreference();
        return true;
    case HelpId:
        OnHelp();
        return true;
    case SupportId:
        OnSupport();
        return true;
    case CheckUpdateId:
        OnCheckUpdate();
        return true;
    case AboutId:
        OnAbout();
        return true;
    default:
        return false;
    }
}

void TavMenuBarBase::OnLanguage(int language_id)
{
    language_ = language_id;
    wxWindow* top = wxTheApp != nullptr ? wxTheApp->GetTopWindow() : nullptr;
    if (top == nullptr)
        return;
    auto* changed = new wxCommandEvent(EVT_LANGUAGE_CHANGED, top->GetId());
    changed->SetInt(language_id);
    wxQueueEvent(top->GetEventHandler(), changed);
}

void TavMenuBarBase::OnAddFiles()
{
    Send(AddFiles);
}

void TavMenuBarBase::OnAddFolder()
{
    Send(AddFolder);
}

void TavMenuBarBase::OnOpenLogFolder()
{
    const wxString folder = AppUtil::GetUserDataDir() + "/Log";
    FileUtil::MakeDir(folder);  // shown even before the first job wrote a log
    UserPrompt::OpenFolder(folder);
}

void TavMenuBarBase::OnExit()
{
    wxWindow* top = wxTheApp != nullptr ? wxTheApp->GetTopWindow() : nullptr;
    if (top == nullptr)
        return;
    auto* close = new wxCloseEvent(wxEVT_CLOSE_WINDOW, top->GetId());
    close->SetEventObject(top);
    close->SetCanVeto(true);
    wxQueueEvent(top->GetEventHandler(), close);
}

void TavMenuBarBase::OnDelete()
{
    Send(DeleteSelected);
}

void TavMenuBarBase::OnClearAll()
{
    Send(ClearAll);
}

void TavMenuBarBase::OnSelectAll()
{
    Send(SelectAll);
}

void TavMenuBarBase::OnSelectInvert()
{
    Send(SelectInvert);
}

void TavMenuBarBase::OnPreference()
{
    Send(OpenPreferences);
}

void TavMenuBarBase::OnHelp()
{
    OpenAddress("url:help");
}

void TavMenuBarBase::OnSupport()
{
    OpenAddress("url:support");
}

void TavMenuBarBase::OnCheckUpdate() {}

void TavMenuBarBase::OnAbout() {}
