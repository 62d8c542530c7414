// The command side of the menu strip: each menu command becomes a
// notification for the file list and the frame, or an action of its own
// (opening the log folder, the help pages, ending the program, choosing a
// language).
#ifndef KESTRAN_WINDOW_BASE_TAV_MENU_BAR_BASE_H
#define KESTRAN_WINDOW_BASE_TAV_MENU_BAR_BASE_H

#include "domain/kel_observer.h"
#include "domain/kel_subject.h"
#include "domain/language.h"

class TavMenuBarBase : public KelObserver, public KelSubject {
public:
    // Command ids of the menus; a language item's id is its language identifier.
    enum : int {
        FileTitleId = 5110,
        EditTitleId = 5111,
        HelpTitleId = 5112,
        AddFilesId = 5113,
        AddFolderId = 5114,
        OpenLogFolderId = 5115,
        ExitId = 5006,
        DeleteId = 5105,
        ClearAllId = 5106,
        SelectAllId = 5107,
        SelectInvertId = 5108,
        PreferenceId = 5022,
        HelpId = 5100,
        SupportId = 5103,
        CheckUpdateId = 5104,
        AboutId = 5014
    };

    TavMenuBarBase() = default;
    ~TavMenuBarBase() override = default;

    void Update(KelSubject* subject, void* payload) override;
    virtual void Relabel() {}
    virtual void RelabelMore() {}
    virtual void EnableCommands(bool /*enable*/) {}
    virtual void Spare() {}
    // Stores the chosen language and tells the top window (EVT_LANGUAGE_CHANGED).
    virtual void OnLanguage(int language_id);
    virtual void OnAddFiles();
    virtual void OnAddFolder();
    // The folder of the daily logs, in the desktop's file manager.
    virtual void OnOpenLogFolder();
    // A close request to the top window, as its close button makes.
    virtual void OnExit();
    virtual void OnDelete();
    virtual void OnClearAll();
    virtual void OnSelectAll();
    virtual void OnSelectInvert();
    virtual void OnPreference();
    // The help and support pages ("url:help", "url:support") in the browser.
    virtual void OnHelp();
    virtual void OnCommandHook1() {}
    virtual void OnSupport();
    virtual void OnCommandHook2() {}
    // The update check's window.
    virtual void OnCheckUpdate();
    virtual void OnAbout();

    // Runs the command of a menu item; false for an id that is no command.
    bool RunCommand(int id);

    int GetLanguage() const { return language_; }
    void SetLanguage(int language_id) { language_ = language_id; }

private:
    int language_ = LanguageEnglish;
};

#endif
