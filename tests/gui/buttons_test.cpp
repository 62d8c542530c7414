// The skinned buttons as a user meets them: sizes, faces per state, clicks
// that need press and release on the button, check boxes and radio groups.
#include <memory>

#include <gtest/gtest.h>
#include <wx/dcclient.h>
#include <wx/uiaction.h>

#include "gui_test_support.h"
#include "window/base/image_util.h"
#include "window/base/mox_piece_window.h"
#include "window/base/pim_menu_button.h"
#include "window/base/tav_bitmap_button.h"
#include "window/base/tav_check_box.h"
#include "window/base/tav_radio_button.h"
#include "window/base/tav_word_button.h"

namespace {

using guitest::PumpUntil;
using guitest::SameColour;
using guitest::ScreenPixel;

const wxColour kNormal(240, 240, 240), kCurrent(200, 220, 255), kPressed(150, 180, 230);

// A 50 x 40 state image: left slice 20 (with a darker stripe), centre 10, right 20.
wxBitmap StateImage(const wxColour& colour)
{
    wxImage image = guitest::SolidImage(50, 40, colour);
    image.SetRGB(wxRect(2, 2, 4, 36), colour.Red() / 2, colour.Green() / 2, colour.Blue() / 2);
    return wxBitmap(image);
}

class SkinnedControls : public ::testing::Test {
protected:
    void SetUp() override
    {
        frame_ = guitest::MakeHostFrame(wxSize(400, 300), wxPoint(40, 40));
        auto skin = std::make_unique<wxBitmap>(guitest::GradientImage(400, 300));
        skin_ = *skin;
        piece_ = new MoxPieceWindow(frame_, std::move(skin), wxID_ANY, wxPoint(0, 0), wxSize(400, 300));
        font_ = ImageUtil::FaceFont(FaceRect{1, 0, 0, 10});
    }
    void TearDown() override
    {
        sim_.MouseUp();
        guitest::DestroyAllTopLevels();
    }

    TavWordButton* MakeWordButton(const wxString& label, const wxPoint& at = wxPoint(30, 50))
    {
        auto* button = new TavWordButton(piece_, 7, at);
        button->SetBitmaps(StateImage(kNormal), 20, 10, StateImage(kCurrent), StateImage(kPressed));
        button->SetBackground(skin_, TavWordButton::BackgroundPiece);
        button->SetForegroundColour(wxColour(20, 30, 40));
        button->SetTextY(12);
        button->SetLabel(label, font_);
        return button;
    }

    // Moves the real pointer (XTest) to a point of `window` and waits until its events are handled.
    void MoveTo(wxWindow* window, const wxPoint& local)
    {
        sim_.MouseMove(window->ClientToScreen(local));
        ASSERT_TRUE(guitest::SyncEvents());
    }
    void MoveAway()
    {
        sim_.MouseMove(wxPoint(1000, 700));
        ASSERT_TRUE(guitest::SyncEvents());
    }

    wxFrame* frame_ = nullptr;
    MoxPieceWindow* piece_ = nullptr;
    wxBitmap skin_;
    wxFont font_;
    wxUIActionSimulator sim_;
};

TEST_F(SkinnedControls, WordButtonWidthComesFromItsLabel)
{
    TavWordButton* button = MakeWordButton("Add File");
    wxClientDC dc(button);
    dc.SetFont(font_);
    const int text_width = dc.GetTextExtent("Add File").x;
    EXPECT_EQ(button->GetSize(), wxSize(20 + text_width + 20, 40));
    EXPECT_EQ(button->GetTextPosition(), wxPoint(20, 12));

    const int short_width = button->GetSize().x;
    button->SetLabel("Add File and more", font_);
    EXPECT_GT(button->GetSize().x, short_width);
    EXPECT_EQ(button->GetSize().x, 20 + dc.GetTextExtent("Add File and more").x + 20);
}

TEST_F(SkinnedControls, WordButtonStatesFollowThePointer)
{
    TavWordButton* button = MakeWordButton("Start");
    int clicks = 0;
    button->Bind(wxEVT_BUTTON, [&](wxCommandEvent& e) {
        EXPECT_EQ(e.GetId(), 7);
        EXPECT_EQ(e.GetEventObject(), button);
        ++clicks;
    });
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    MoveAway();
    const wxPoint face(10, 30);  // inside the left slice, away from the stripe and the text
    EXPECT_TRUE(guitest::ShowsColour(button, face, kNormal));

    MoveTo(button, wxPoint(5, 5));
    EXPECT_TRUE(PumpUntil([&] { return button->GetState() == TavStateCurrent; }));
    EXPECT_TRUE(guitest::ShowsColour(button, face, kCurrent));

    sim_.MouseDown();
    EXPECT_TRUE(PumpUntil([&] { return button->GetState() == TavStatePressed; }));
    EXPECT_TRUE(guitest::ShowsColour(button, face, kPressed));

    // Leaving while pressed and releasing outside is no click.
    MoveTo(button, wxPoint(button->GetSize().x + 30, 5));
    EXPECT_TRUE(PumpUntil([&] { return button->GetState() == TavStateLeft; }));
    sim_.MouseUp();
    ASSERT_TRUE(guitest::SyncEvents());
    EXPECT_EQ(clicks, 0);
    EXPECT_TRUE(guitest::ShowsColour(button, face, kNormal));

    // Press and release on the button is a click; the normal face shows after it.
    MoveTo(button, wxPoint(5, 5));
    ASSERT_TRUE(PumpUntil([&] { return button->GetState() == TavStateCurrent; }));
    sim_.MouseClick();
    EXPECT_TRUE(PumpUntil([&] { return clicks == 1; }));
    EXPECT_EQ(button->GetState(), TavStateReleased);
    EXPECT_TRUE(guitest::ShowsColour(button, face, kNormal));
}

TEST_F(SkinnedControls, WordButtonShowsTheSkinAroundTransparentSlices)
{
    // A state image whose right slice is transparent shows the panel's skin there.
    wxImage image = guitest::SolidImage(50, 40, kNormal);
    for (int y = 0; y < 40; ++y)
        for (int x = 40; x < 50; ++x)
            image.SetAlpha(x, y, 0);
    auto* button = new TavWordButton(piece_, 8, wxPoint(60, 120));
    button->SetBitmaps(wxBitmap(image), 20, 10, wxNullBitmap, wxNullBitmap);
    button->SetBackground(skin_, TavWordButton::BackgroundPiece);
    button->SetLabel("Go", font_);
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    MoveAway();
    const wxPoint local(button->GetSize().x - 3, 20);
    const wxPoint in_parent = button->GetPosition() + local;
    EXPECT_TRUE(guitest::ShowsColour(button, local, guitest::GradientAt(in_parent.x, in_parent.y), 1));
}

TEST_F(SkinnedControls, DisabledWordButtonKeepsItsDisabledImage)
{
    TavWordButton* button = MakeWordButton("Delete");
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    MoveAway();
    button->Enable(false);
    EXPECT_EQ(button->GetState(), TavStateDisabled);
    const wxImage disabled_image = button->GetDisabledBitmap().ConvertToImage();
    const wxPoint stripe(3, 30);  // the darker stripe of the left slice
    const wxColour disabled(disabled_image.GetRed(stripe.x, stripe.y), disabled_image.GetGreen(stripe.x, stripe.y),
                            disabled_image.GetBlue(stripe.x, stripe.y));
    const wxColour enabled(kNormal.Red() / 2, kNormal.Green() / 2, kNormal.Blue() / 2);
    EXPECT_FALSE(SameColour(disabled, enabled, 8));
    EXPECT_TRUE(guitest::ShowsColour(button, stripe, disabled));

    // The pointer passing over a disabled button changes nothing; neither does
    // a leave event that reaches it.
    MoveTo(button, wxPoint(5, 5));
    MoveAway();
    wxMouseEvent leave(wxEVT_LEAVE_WINDOW);
    leave.SetEventObject(button);
    button->GetEventHandler()->ProcessEvent(leave);
    EXPECT_EQ(button->GetState(), TavStateDisabled);
    EXPECT_TRUE(button->GetFaceBitmap().IsSameAs(button->GetDisabledBitmap()));
    EXPECT_TRUE(guitest::ShowsColour(button, stripe, disabled));

    button->Enable(true);
    EXPECT_EQ(button->GetState(), TavStateNormal);
    EXPECT_TRUE(guitest::ShowsColour(button, stripe, enabled));
}

TEST_F(SkinnedControls, BitmapButtonWithoutHoverImageShowsRedOutline)
{
    const wxBitmap normal(guitest::SolidImage(24, 20, wxColour(0, 120, 0)));
    const wxBitmap pressed(guitest::SolidImage(24, 20, wxColour(0, 60, 0)));
    auto* button = new TavBitmapButton(piece_, 3, wxPoint(100, 100), wxSize(24, 20));
    button->SetNormalBitmap(&normal);
    button->SetPressedBitmap(&pressed);
    int clicks = 0;
    button->Bind(wxEVT_BUTTON, [&](wxCommandEvent&) { ++clicks; });
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    MoveAway();
    EXPECT_TRUE(guitest::ShowsColour(button, wxPoint(0, 0), wxColour(0, 120, 0)));

    MoveTo(button, wxPoint(12, 10));
    EXPECT_TRUE(guitest::ShowsColour(button, wxPoint(0, 0), *wxRED));
    EXPECT_TRUE(guitest::ShowsColour(button, wxPoint(23, 19), *wxRED));
    EXPECT_TRUE(guitest::ShowsColour(button, wxPoint(12, 10), wxColour(0, 120, 0)));

    sim_.MouseDown();
    EXPECT_TRUE(guitest::ShowsColour(button, wxPoint(12, 10), wxColour(0, 60, 0)));
    sim_.MouseUp();
    EXPECT_TRUE(PumpUntil([&] { return clicks == 1; }));
}

TEST_F(SkinnedControls, CheckBoxTogglesAndReportsItsValue)
{
    auto* box = new TavCheckBox(piece_, 11, "Merge into one folder", wxPoint(20, 200));
    box->SetBackground(skin_);
    std::vector<int> values;
    piece_->Bind(TAV_EVT_CHECKBOX, [&](wxCommandEvent& e) {
        EXPECT_EQ(e.GetId(), 11);
        values.push_back(e.GetInt());
    });
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    MoveTo(box, wxPoint(5, box->GetSize().y / 2));
    sim_.MouseClick();
    ASSERT_TRUE(PumpUntil([&] { return values.size() == 1; }));
    EXPECT_TRUE(box->GetValue());
    EXPECT_EQ(box->GetState(), TavCheckBox::Checked);
    sim_.MouseClick();
    ASSERT_TRUE(PumpUntil([&] { return values.size() == 2; }));
    EXPECT_EQ(values, (std::vector<int>{1, 0}));

    box->SetValue(true);
    box->Enable(false);
    EXPECT_EQ(box->GetState(), TavCheckBox::DisabledChecked);
    box->SetValue(false);
    EXPECT_EQ(box->GetState(), TavCheckBox::DisabledUnchecked);
    box->Enable(true);
    EXPECT_EQ(box->GetState(), TavCheckBox::Unchecked);
}

class RadioGroups : public SkinnedControls {
protected:
    void MakeGroup(TavRadioGroup& group, TavRadioButton* (&buttons)[3], int y, int first_id)
    {
        const wxBitmap off = ImageUtil::CreateRadioBitmap(piece_, false);
        const wxBitmap on = ImageUtil::CreateRadioBitmap(piece_, true);
        const char* labels[] = {"All", "Current", "Range"};
        for (int i = 0; i < 3; ++i) {
            buttons[i] = new TavRadioButton(piece_, first_id + i, off, on, skin_, wxPoint(20 + 110 * i, y));
            buttons[i]->SetLabel(labels[i], false);
            group.Add(buttons[i]);
        }
        buttons[0]->SetValue(true);
        group.InitSelection();
    }
    void Click(TavRadioButton* button)
    {
        MoveTo(button, wxPoint(4, button->GetSize().y / 2));
        sim_.MouseClick();
        ASSERT_TRUE(guitest::SyncEvents());
    }
};

TEST_F(RadioGroups, HandledClickSelectsExactlyOne)
{
    TavRadioGroup group;
    TavRadioButton* buttons[3];
    MakeGroup(group, buttons, 40, 21);
    std::vector<int> indexes;
    piece_->Bind(TAV_EVT_RADIOBUTTON, [&](wxCommandEvent& e) { indexes.push_back(e.GetInt()); });
    ASSERT_TRUE(guitest::ShowAndWait(frame_));

    EXPECT_EQ(buttons[1]->GetGap(), 6);
    EXPECT_EQ(group.GetSelection(), 0);
    Click(buttons[2]);
    EXPECT_EQ(indexes, std::vector<int>{2});
    EXPECT_EQ(group.GetSelection(), 2);
    EXPECT_FALSE(buttons[0]->GetValue());
    EXPECT_FALSE(buttons[1]->GetValue());
    EXPECT_TRUE(buttons[2]->GetValue());

    Click(buttons[1]);
    EXPECT_EQ(group.GetSelection(), 1);
    EXPECT_EQ(buttons[0]->GetValue() + buttons[1]->GetValue() + buttons[2]->GetValue(), 1);

    // The selected button sends nothing when clicked again.
    Click(buttons[1]);
    EXPECT_EQ(indexes, (std::vector<int>{2, 1}));

    // Selecting from code goes through the group as well.
    buttons[0]->SetValue(true);
    EXPECT_EQ(group.GetSelection(), 0);
    EXPECT_FALSE(buttons[1]->GetValue());
}

TEST_F(RadioGroups, UnhandledClickChangesNothing)
{
    TavRadioGroup group;
    TavRadioButton* buttons[3];
    MakeGroup(group, buttons, 120, 31);
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    Click(buttons[2]);
    EXPECT_EQ(group.GetSelection(), 0);
    EXPECT_TRUE(buttons[0]->GetValue());
    EXPECT_FALSE(buttons[2]->GetValue());
}

TEST_F(RadioGroups, LabelOnImageTakesTheImageSize)
{
    const wxBitmap off(guitest::SolidImage(60, 24, wxColour(90, 90, 90)));
    auto* button = new TavRadioButton(piece_, 41, off, off, skin_, wxPoint(10, 10));
    button->SetLabel("JPG", true);
    EXPECT_EQ(button->GetSize(), wxSize(60, 24));
    button->SetLabel("JPG", false);
    EXPECT_EQ(button->GetSize().x, 60 + 6 + button->GetTextExtent("JPG").x);
}

}  // namespace

namespace {

TEST_F(SkinnedControls, MenuTitleHighlightsUnderThePointerAndOpensOnPress)
{
    auto* title = new PimMenuButton(piece_, "File", skin_, piece_, 5110, wxColour(10, 10, 10),
                                    wxColour(250, 250, 250), wxPoint(100, 20));
    int presses = 0;
    title->Bind(wxEVT_BUTTON, [&](wxCommandEvent& e) {
        EXPECT_EQ(e.GetId(), 5110);
        ++presses;
    });
    EXPECT_EQ(title->GetSize().x, 16 + title->GetTextExtent("File").x);
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    MoveAway();
    // Left of the text the title shows the skin it was cut from.
    EXPECT_TRUE(guitest::ShowsColour(title, wxPoint(2, 2), guitest::GradientAt(102, 22)));

    MoveTo(title, wxPoint(2, 2));
    EXPECT_TRUE(PumpUntil([&] { return title->IsHover(); }));
    // While its menu is open the title keeps the hover look.
    title->SetHoverAllowed(false);
    MoveAway();
    EXPECT_TRUE(title->IsHover());
    title->SetHoverAllowed(true);
    MoveTo(title, wxPoint(2, 2));
    ASSERT_TRUE(PumpUntil([&] { return title->IsHover(); }));
    sim_.MouseDown();  // a press opens the menu at once, without waiting for the release
    EXPECT_TRUE(PumpUntil([&] { return presses == 1; }));
    sim_.MouseUp();
    // The release is handled before the pointer leaves: GTK reports a leave
    // that comes with the release as the end of a grab, not as a leave.
    ASSERT_TRUE(guitest::SyncEvents());
    MoveAway();
    EXPECT_TRUE(PumpUntil([&] { return !title->IsHover(); }));
}

}  // namespace
