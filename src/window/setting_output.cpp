#include "window/setting_output.h"

#include <algorithm>

#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/intl.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include "common/string_util.h"
#include "domain/convert_options.h"
#include "domain/domain_config.h"
#include "domain/notify_code.h"

namespace {

// The sizes offered besides "Off" and "Custom", in pixels.
constexpr int kOfferedSides[] = {16, 32, 64};
constexpr int kMaxSide = 100000;
constexpr int kOutputTypes = 3;  // Original, PNG, JPEG

// Names in the settings file.
const char kSideSetting[] = "min-image-side";
const char kFlatSetting[] = "skip-flat-images";
const char kManifestSetting[] = "write-image-list";
const char kTypeSetting[] = "output-type";

void Store(int key, const char* name, long value)
{
    ConvertOptions[key] = wxString::Format("%ld", value);
    if (g_domain_config != nullptr)
        g_domain_config->SetValue(name, ConvertOptions[key]);
}

long Stored(const char* name, long low, long high)
{
    const long value = g_domain_config != nullptr ? g_domain_config->GetNumber(name, 0) : 0;
    return value < low || value > high ? 0 : value;
}

}  // namespace

SettingOutput::SettingOutput(wxWindow* parent, wxWindowID id) : wxPanel(parent, id)
{
    size_choice_ = new wxChoice(this, wxID_ANY);
    size_choice_->Append(_("Off"));
    for (int side : kOfferedSides)
        size_choice_->Append(wxString::Format(_("%d pixels"), side));
    size_choice_->Append(_("Custom"));
    custom_size_ = new wxSpinCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS,
                                  1, kMaxSide, 100);
    flat_box_ = new wxCheckBox(this, wxID_ANY, _("Skip images of one flat colour"));
    manifest_box_ = new wxCheckBox(this, wxID_ANY, _("List the extracted images in a CSV file beside them"));
    size_choice_->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) {
        custom_size_->Enable(size_choice_->GetSelection() == int(size_choice_->GetCount()) - 1);
    });

    ShowSide(StringUtil::ToInt(ConvertOptions[MIN_IMAGE_SIDE]));
    flat_box_->SetValue(StringUtil::ToInt(ConvertOptions[SKIP_FLAT_IMAGES]) != 0);
    manifest_box_->SetValue(StringUtil::ToInt(ConvertOptions[WRITE_MANIFEST]) != 0);

    // The custom size on a line of its own, under the choice: GTK's spin
    // buttons are wide, and the labels grow in other languages.
    auto* size_lines = new wxFlexGridSizer(2, 8, 8);
    size_lines->Add(new wxStaticText(this, wxID_ANY, _("Skip images smaller than:")), 0, wxALIGN_CENTER_VERTICAL);
    size_lines->Add(size_choice_, 0, wxALIGN_CENTER_VERTICAL);
    size_lines->AddSpacer(0);
    auto* custom_line = new wxBoxSizer(wxHORIZONTAL);
    custom_line->Add(custom_size_, 0, wxALIGN_CENTER_VERTICAL);
    custom_line->Add(new wxStaticText(this, wxID_ANY, _("pixels")), 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 6);
    size_lines->Add(custom_line, 0, wxALIGN_CENTER_VERTICAL);
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->AddSpacer(20);
    column->Add(size_lines, 0, wxLEFT | wxRIGHT, 10);
    column->Add(flat_box_, 0, wxLEFT | wxRIGHT | wxTOP, 10);
    column->Add(manifest_box_, 0, wxLEFT | wxRIGHT | wxTOP, 10);
    column->AddSpacer(6);
    SetSizer(column);
}

void SettingOutput::ShowSide(long side)
{
    int choice = 0;
    if (side > 0) {
        const auto* offered = std::find(std::begin(kOfferedSides), std::end(kOfferedSides), side);
        choice = offered != std::end(kOfferedSides) ? int(offered - std::begin(kOfferedSides)) + 1
                                                    : int(std::size(kOfferedSides)) + 1;
        custom_size_->SetValue(int(side));
    }
    size_choice_->SetSelection(choice);
    custom_size_->Enable(choice == int(std::size(kOfferedSides)) + 1);
}

long SettingOutput::ChosenSide() const
{
    const int choice = size_choice_->GetSelection();
    if (choice <= 0)
        return 0;
    if (choice <= int(std::size(kOfferedSides)))
        return kOfferedSides[choice - 1];
    return custom_size_->GetValue();
}

void SettingOutput::LoadStoredChoices()
{
    ConvertOptions[MIN_IMAGE_SIDE] = wxString::Format("%ld", Stored(kSideSetting, 0, kMaxSide));
    ConvertOptions[SKIP_FLAT_IMAGES] = wxString::Format("%ld", Stored(kFlatSetting, 0, 1));
    ConvertOptions[WRITE_MANIFEST] = wxString::Format("%ld", Stored(kManifestSetting, 0, 1));
    ConvertOptions[OUTPUT_TYPE] = wxString::Format("%ld", Stored(kTypeSetting, 0, kOutputTypes - 1));
}

void SettingOutput::RememberOutputType(int type)
{
    if (type >= 0 && type < kOutputTypes)
        Store(OUTPUT_TYPE, kTypeSetting, type);
}

void SettingOutput::Update(KelSubject* subject, void* payload)
{
    if (subject == nullptr)
        return;
    switch (subject->GetCode()) {
    case PreferencesSave:
        // A page heard before this one refused the save: nothing is stored.
        if (payload != nullptr && *static_cast<const int*>(payload) != 0)
            break;
        Store(MIN_IMAGE_SIDE, kSideSetting, ChosenSide());
        Store(SKIP_FLAT_IMAGES, kFlatSetting, flat_box_->GetValue() ? 1 : 0);
        Store(WRITE_MANIFEST, kManifestSetting, manifest_box_->GetValue() ? 1 : 0);
        break;
    case PreferencesReset:
        ShowSide(0);
        flat_box_->SetValue(false);
        manifest_box_->SetValue(false);
        break;
    default:
        break;
    }
}
