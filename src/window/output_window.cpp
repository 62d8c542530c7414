#include "window/output_window.h"

#include <algorithm>

#include <wx/dcclient.h>
#include <wx/intl.h>
#include <wx/textctrl.h>

#include "common/app_util.h"
#include "common/file_util.h"
#include "common/folder_listing.h"
#include "domain/convert_options.h"
#include "domain/domain_config.h"
#include "domain/notify_code.h"
#include "window/base/face_table.h"
#include "window/base/image_util.h"
#include "window/base/tav_check_box.h"
#include "window/base/tav_radio_button.h"
#include "window/base/tav_word_button.h"
#include "window/base/user_prompt.h"

wxIMPLEMENT_DYNAMIC_CLASS(OutputWindow, MoxPieceWindow);

namespace {

// "1" when the images go beside their source files, kept across runs.
const char kSourceFolderSetting[] = "save-in-source-dir";

}  // namespace

OutputWindow::OutputWindow() = default;
OutputWindow::~OutputWindow() = default;

bool OutputWindow::Create(std::unique_ptr<wxBitmap> background, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                          const wxSize& size)
{
    if (!MoxPieceWindow::Create(parent, std::move(background), id, pos, size, wxTAB_TRAVERSAL | wxBORDER_NONE))
        return false;
    const FaceRect label = GetFace("/face/outputwindow/statictext");
    label_x_ = label.x;
    label_y_ = label.y;
    text_colour_ = ImageUtil::FaceColourOr("/face/outputwindow/textcolour", wxColour(31, 41, 51));
    const wxBitmap skin = GetBackgroundBitmap() != nullptr ? *GetBackgroundBitmap() : wxNullBitmap;

    radio_group_ = std::make_unique<TavRadioGroup>();
    const wxBitmap unchecked = ImageUtil::CreateRadioBitmap(this, false);
    const wxBitmap checked = ImageUtil::CreateRadioBitmap(this, true);

    source_choice_ = new TavRadioButton(this, SourceFolderId, unchecked, checked, skin);
    source_choice_->SetForegroundColour(text_colour_);
    source_choice_->SetValue(false);

    merge_box_ = new TavCheckBox(this, MergeId, wxString());
    merge_box_->SetBackground(skin);
    merge_box_->SetForegroundColour(text_colour_);
    merge_box_->SetValue(false);
    ConvertOptions[MERGE_INTO_ONE] = "0";
    ConvertOptions[MERGE_AVAILABLE] = "0";

    custom_choice_ = new TavRadioButton(this, CustomFolderId, unchecked, checked, skin);
    custom_choice_->SetForegroundColour(text_colour_);
    custom_choice_->SetValue(true);
    radio_group_->Add(source_choice_);
    radio_group_->Add(custom_choice_);
    radio_group_->InitSelection();

    // Typed or pasted folders are taken as they are and checked on Start,
    // where a missing one may be created.
    folder_field_ = new wxTextCtrl(this, FolderFieldId, ConvertOptions[LAST_OUTPUT_DIR]);
    folder_field_->SetBackgroundColour(*wxWHITE);
    folder_field_->Bind(wxEVT_TEXT, [this](wxCommandEvent&) {
        ConvertOptions[LAST_OUTPUT_DIR] = folder_field_->GetValue().Strip(wxString::both);
    });

    browse_ = MakeButton(BrowseId, "small");
    open_ = MakeButton(OpenId, "small");
    start_ = MakeButton(StartId, "big");
    stop_ = MakeButton(StopId, "big");
    stop_->Hide();

    Bind(wxEVT_BUTTON, &OutputWindow::OnButton, this);
    Bind(TAV_EVT_RADIOBUTTON, &OutputWindow::OnRadio, this);
    Bind(TAV_EVT_CHECKBOX, &OutputWindow::OnMergeBox, this, MergeId);
    if (g_domain_config != nullptr && g_domain_config->GetNumber(kSourceFolderSetting, 0) != 0)
        PickSourceFolder();
    Relabel();
    return true;
}

TavWordButton* OutputWindow::MakeButton(int id, const wxString& size_name)
{
    const wxString crop_key = "/face/base-button/" + size_name + "-button-crop";
    const FaceRect crop = GetFace(crop_key);
    const wxBitmap normal = ImageUtil::LoadBitmap("image/base/" + size_name + "-normal.png");
    auto* button = new TavWordButton(this, id);
    if (normal.IsOk())
        button->SetBitmaps(normal, crop.x, crop.width, ImageUtil::LoadBitmap("image/base/" + size_name + "-current.png"),
                           ImageUtil::LoadBitmap("image/base/" + size_name + "-pressed.png"));
    if (const wxBitmap* skin = GetBackgroundBitmap(); skin != nullptr)
        button->SetBackground(*skin, TavWordButton::BackgroundPiece);
    button->SetForegroundColour(ImageUtil::FaceColour(crop_key + "/textcolour"));
    button->SetTextY(crop.y);
    return button;
}

void OutputWindow::Relabel()
{
    const wxFont bold = ImageUtil::FaceFont("/face/outputwindow/output-description-font", wxFONTWEIGHT_BOLD);
    const wxFont normal = ImageUtil::FaceFont("/face/outputwindow/output-description-font", wxFONTWEIGHT_NORMAL);
    label_ = _("Output Folder");
    merge_box_->SetFont(normal);
    merge_box_->SetLabel(_("Merge into one file"));
    source_choice_->SetFont(normal);
    source_choice_->SetLabel(_("Save target file(s) in source folder"), false);
    custom_choice_->SetFont(normal);
    custom_choice_->SetLabel(_("Customize"), false);
    browse_->SetLabel(_("Browse"), bold);
    open_->SetLabel(_("Open"), bold);
    const wxFont start_font = ImageUtil::FaceFont("/face/outputwindow/start-font", wxFONTWEIGHT_BOLD);
    start_->SetLabel(_("Start "), start_font);
    stop_->SetLabel(_("Stop  "), start_font);
    Layout_();
    Refresh();
}

void OutputWindow::Layout_()
{
    wxCoord label_height = 0;
    {
        wxClientDC dc(this);
        dc.SetFont(ImageUtil::FaceFont("/face/outputwindow/output-description-font", wxFONTWEIGHT_BOLD));
        dc.GetTextExtent(label_, nullptr, &label_height);
    }
    const wxSize size = GetClientSize();
    source_choice_->Move(label_x_, label_y_ + label_height + 10);
    const int custom_y = source_choice_->GetPosition().y + source_choice_->GetSize().y + 8;
    custom_choice_->Move(label_x_, custom_y);

    const int start_x = size.x - 20 - start_->GetSize().x;
    const int start_y = GetFace("/face/outputwindow/start-button").y;
    start_->Move(start_x, start_y);
    stop_->Move(size.x - 20 - stop_->GetSize().x, start_y);

    // The small buttons and the field share the custom-folder line, centred on it.
    const int line_centre = custom_y + custom_choice_->GetSize().y / 2;
    const int open_x = start_x - 40 - open_->GetSize().x;
    open_->Move(open_x, line_centre - open_->GetSize().y / 2);
    const int browse_x = open_x - 10 - browse_->GetSize().x;
    browse_->Move(browse_x, line_centre - browse_->GetSize().y / 2);
    merge_box_->Move(browse_x, source_choice_->GetPosition().y +
                                   (source_choice_->GetSize().y - merge_box_->GetSize().y) / 2);

    const int field_x = custom_choice_->GetPosition().x + custom_choice_->GetSize().x + 10;
    const int field_height = std::max(GetFace("/face/outputwindow/textctrl").height, 1);
    folder_field_->SetSize(field_x, line_centre - field_height / 2, std::max(browse_x - 10 - field_x, 20),
                           field_height);
}

void OutputWindow::DrawBackground(wxDC& dc)
{
    MoxPieceWindow::DrawBackground(dc);
    dc.SetFont(ImageUtil::FaceFont("/face/outputwindow/output-description-font", wxFONTWEIGHT_BOLD));
    dc.SetTextForeground(text_colour_);
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    dc.DrawText(label_, label_x_, label_y_);
}

void OutputWindow::SetMergeAvailable(bool available)
{
    ConvertOptions[MERGE_AVAILABLE] = available ? "1" : "0";
    merge_box_->Enable(available);
}

wxBitmap OutputWindow::GetStartBitmap() const
{
    return start_ != nullptr ? start_->GetNormalBitmap() : wxNullBitmap;
}

bool OutputWindow::IsSourceFolderChosen() const
{
    return source_choice_ != nullptr && source_choice_->GetValue();
}

void OutputWindow::Update(KelSubject* subject, void* /*payload*/)
{
    if (subject == nullptr)
        return;
    switch (subject->GetCode()) {
    case ShowStart:
        stop_->Hide();
        start_->Enable(true);
        start_->Show();
        break;
    case ShowStop:
        start_->Hide();
        stop_->Enable(true);
        stop_->Show();
        break;
    case LockOptions:
        source_choice_->Enable(false);
        custom_choice_->Enable(false);
        browse_->Enable(false);
        break;
    case UnlockOptions:
        source_choice_->Enable(true);
        custom_choice_->Enable(true);
        browse_->Enable(!IsSourceFolderChosen());
        break;
    case ListBusy:
        start_->Enable(false);
        stop_->Enable(false);
        source_choice_->Enable(false);
        custom_choice_->Enable(false);
        break;
    case ListIdle:
        start_->Enable(true);
        stop_->Enable(true);
        source_choice_->Enable(true);
        custom_choice_->Enable(true);
        break;
    case ForceCustomFolder:
        custom_choice_->SetValue(true);
        browse_->Enable(true);
        folder_field_->Enable(true);
        RememberFolderChoice(false);
        break;
    default:
        break;
    }
}

void OutputWindow::PickSourceFolder()
{
    source_choice_->SetValue(true);
    browse_->Enable(false);
    folder_field_->Enable(false);
    RememberFolderChoice(true);
}

void OutputWindow::PickCustomFolder()
{
    custom_choice_->SetValue(true);
    browse_->Enable(true);
    folder_field_->Enable(true);
    RememberFolderChoice(false);
}

void OutputWindow::RememberFolderChoice(bool in_source)
{
    ConvertOptions[SAVE_IN_SOURCE_DIR] = in_source ? "1" : "0";
    if (g_domain_config != nullptr)
        g_domain_config->SetValue(kSourceFolderSetting, ConvertOptions[SAVE_IN_SOURCE_DIR]);
}

void OutputWindow::SetMerge(bool merge)
{
    merge_box_->SetValue(merge);
    ConvertOptions[MERGE_INTO_ONE] = merge ? "1" : "0";
    // One merged file needs one folder to go to.
    if (merge)
        PickCustomFolder();
}

void OutputWindow::Browse()
{
    // A refused folder opens the chooser again where the user was, until a
    // folder is taken or the chooser is cancelled.
    wxString start = folder_field_->GetValue();
    for (;;) {
        const wxString folder = UserPrompt::ChooseFolder(_("Select an output folder."), start, this);
        if (folder.empty())
            return;
        // The same test the extraction makes before it writes anything.
        if (kestran::IsWritableFolder(folder.utf8_string())) {
            folder_field_->SetValue(folder);
            ConvertOptions[LAST_OUTPUT_DIR] = folder;
            return;
        }
        UserPrompt::Message(_("The folder is unwritable, please choose another one!"));
        start = folder;
    }
}

void OutputWindow::OpenOutputFolder()
{
    if (IsSourceFolderChosen()) {
        Send(OpenSourceFolder);
        return;
    }
    const wxString folder = folder_field_->GetValue();
    if (!folder.empty() && FileUtil::IsPathExists(folder))
        UserPrompt::OpenFolder(folder);
    else
        UserPrompt::Message(_("Output directory doesn't exist."));
}

void OutputWindow::OnButton(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case StartId:
        Send(StartAll);
        break;
    case StopId:
        stop_->Enable(false);  // at once, before the job reacts
        Send(StopJob);
        break;
    case BrowseId:
        Browse();
        break;
    case OpenId:
        OpenOutputFolder();
        break;
    default:
        event.Skip();
        break;
    }
}

void OutputWindow::OnRadio(wxCommandEvent& event)
{
    if (event.GetId() == SourceFolderId)
        PickSourceFolder();
    else if (event.GetId() == CustomFolderId)
        PickCustomFolder();
    else
        event.Skip();
}

void OutputWindow::OnMergeBox(wxCommandEvent& event)
{
    SetMerge(event.GetInt() != 0);
}
