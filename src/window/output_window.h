// The output strip: where the images go (each file's own folder, or a chosen
// folder shown with Browse and Open), the merge choice, and the one big
// button place that shows Start or Stop. Every choice is written at once into
// ConvertOptions; starting and stopping are notifications to the file list.
#ifndef KESTRAN_WINDOW_OUTPUT_WINDOW_H
#define KESTRAN_WINDOW_OUTPUT_WINDOW_H

#include <memory>

#include "window/base/mox_piece_window.h"

class TavCheckBox;
class TavRadioButton;
class TavRadioGroup;
class TavWordButton;
class wxTextCtrl;

class OutputWindow : public MoxPieceWindow {
public:
    enum : int {
        StartId = 1,
        StopId = 2,
        BrowseId = 3,
        OpenId = 4,
        FolderFieldId = 5,
        CustomFolderId = 6,
        SourceFolderId = 7,
        MergeId = 8
    };

    OutputWindow();
    ~OutputWindow() override;
    // The piece, then its controls; false only when the piece cannot be created.
    bool Create(std::unique_ptr<wxBitmap> background, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                const wxSize& size);

    // Texts and fonts again in the current language, then the layout.
    void Relabel();
    // Option MERGE_AVAILABLE and whether the merge box can be used.
    void SetMergeAvailable(bool available);
    // The Start button's normal face (the empty list's guide shows it).
    wxBitmap GetStartBitmap() const;

    void Update(KelSubject* subject, void* payload) override;
    using MoxPieceWindow::Update;
    void DrawBackground(wxDC& dc) override;

    // The flows of the buttons, for the button handlers and for tests.
    void Browse();
    void OpenOutputFolder();
    void PickSourceFolder();
    void PickCustomFolder();
    // Sets where the images go and remembers it for the next start.
    void RememberFolderChoice(bool in_source);
    void SetMerge(bool merge);

    TavWordButton* GetStartButton() const { return start_; }
    TavWordButton* GetStopButton() const { return stop_; }
    TavWordButton* GetBrowseButton() const { return browse_; }
    TavWordButton* GetOpenButton() const { return open_; }
    TavRadioButton* GetSourceFolderChoice() const { return source_choice_; }
    TavRadioButton* GetCustomFolderChoice() const { return custom_choice_; }
    TavCheckBox* GetMergeBox() const { return merge_box_; }
    wxTextCtrl* GetFolderField() const { return folder_field_; }
    bool IsSourceFolderChosen() const;

private:
    void Layout_();
    TavWordButton* MakeButton(int id, const wxString& size_name);
    void OnButton(wxCommandEvent& event);
    void OnRadio(wxCommandEvent& event);
    void OnMergeBox(wxCommandEvent& event);

    wxString label_;
    int label_x_ = 0;
    int label_y_ = 0;
    wxTextCtrl* folder_field_ = nullptr;
    TavRadioButton* source_choice_ = nullptr;
    TavRadioButton* custom_choice_ = nullptr;
    std::unique_ptr<TavRadioGroup> radio_group_;
    TavWordButton* browse_ = nullptr;
    TavWordButton* open_ = nullptr;
    TavCheckBox* merge_box_ = nullptr;
    TavWordButton* start_ = nullptr;
    TavWordButton* stop_ = nullptr;
    wxColour text_colour_;

    wxDECLARE_DYNAMIC_CLASS(OutputWindow);
};

#endif
