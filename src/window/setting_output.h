// The "Output" page of the Preference dialog: which images a job leaves out
// (too small, one flat colour) and whether it lists what it extracted.
// Saved values are kept in the settings file and used by every later job.
#ifndef KESTRAN_WINDOW_SETTING_OUTPUT_H
#define KESTRAN_WINDOW_SETTING_OUTPUT_H

#include <wx/panel.h>

#include "domain/kel_observer.h"
#include "domain/kel_subject.h"

class wxCheckBox;
class wxChoice;
class wxSpinCtrl;

class SettingOutput : public wxPanel, public KelObserver, public KelSubject {
public:
    SettingOutput(wxWindow* parent, wxWindowID id = wxID_ANY);

    // Save stores the fields in the option table and the settings store,
    // unless a page before this one vetoed it (the payload); Reset puts back
    // the defaults (nothing left out, no list).
    void Update(KelSubject* subject, void* payload) override;
    using wxPanel::Update;

    // The option table's output choices (MIN_IMAGE_SIDE, SKIP_FLAT_IMAGES,
    // WRITE_MANIFEST, OUTPUT_TYPE) from the settings store, at start-up.
    static void LoadStoredChoices();
    // Remembers the output type new rows get (an index of the column's choices).
    static void RememberOutputType(int type);

    wxChoice* GetSizeChoice() const { return size_choice_; }
    wxSpinCtrl* GetCustomSize() const { return custom_size_; }
    wxCheckBox* GetFlatBox() const { return flat_box_; }
    wxCheckBox* GetManifestBox() const { return manifest_box_; }

private:
    void ShowSide(long side);
    long ChosenSide() const;

    wxChoice* size_choice_ = nullptr;
    wxSpinCtrl* custom_size_ = nullptr;
    wxCheckBox* flat_box_ = nullptr;
    wxCheckBox* manifest_box_ = nullptr;
};

#endif
