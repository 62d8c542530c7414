// Every question the window asks the user goes through here: message boxes,
// confirmations, the file and folder dialogs and the one-line text entry.
// The program shows real modal dialogs with the product name as caption; a
// test installs a responder that answers them without a person.
#ifndef KESTRAN_WINDOW_BASE_USER_PROMPT_H
#define KESTRAN_WINDOW_BASE_USER_PROMPT_H

#include <functional>

#include <wx/arrstr.h>
#include <wx/string.h>

class wxWindow;

class UserPrompt {
public:
    // Decides whether an entered text is taken; on refusal it tells the user
    // why (a message through Message) and returns false, so the entry stays open.
    using TextCheck = std::function<bool(const wxString& text)>;

    // The answers a test gives in place of the user.
    class Responder {
    public:
        virtual ~Responder() = default;
        // `confirm`: OK and Cancel are offered. Return true for OK.
        virtual bool OnMessage(const wxString& text, bool confirm) = 0;
        // Paths chosen, none for Cancel.
        virtual wxArrayString OnChooseFiles(const wxString& message, const wxString& start_dir,
                                            const wxString& wildcard) = 0;
        // The folder chosen, empty for Cancel.
        virtual wxString OnChooseFolder(const wxString& message, const wxString& start_dir) = 0;
        // The text typed, or false for Cancel. Asked again while `check` refuses it.
        virtual bool OnAskText(const wxString& message, const wxString& initial, wxString* text) = 0;
        // An address the program would open in the browser; nothing is opened.
        virtual void OnOpenAddress(const wxString& /*address*/) {}
    };

    // An information box with OK and the product name as caption.
    static void Message(const wxString& text, wxWindow* parent = nullptr);
    // OK and Cancel; every answer but Cancel counts as yes.
    static bool Confirm(const wxString& text, wxWindow* parent = nullptr);
    // Several existing files; empty when cancelled.
    static wxArrayString ChooseFiles(const wxString& message, const wxString& start_dir, const wxString& wildcard,
                                     wxWindow* parent = nullptr);
    // An existing folder; empty when cancelled.
    static wxString ChooseFolder(const wxString& message, const wxString& start_dir, wxWindow* parent = nullptr);
    // A one-line text entry with OK and Cancel, centred, no parent. Characters
    // in `refused_chars` cannot be typed. OK runs `check` on the text and
    // closes only when it agrees. False when cancelled.
    static bool AskText(const wxString& message, const wxString& initial, const wxString& refused_chars,
                        const TextCheck& check, wxString* text);

    // Opens a web address in the desktop's browser, or a folder in its file
    // browser, through xdg-open, without waiting for it. When xdg-open is
    // missing or ends with a failure, a message names what could not be
    // opened (and an empty address says the option file lacks it).
    static void OpenAddress(const wxString& address);
    static void OpenFolder(const wxString& path);

    // Installs the answers of a test (null: real dialogs again). Not owned.
    static void SetResponder(Responder* responder);
    static Responder* GetResponder();
};

#endif
