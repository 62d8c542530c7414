// Labels, images and links drawn over the skin of the panel they sit on, and
// the piece windows that paint that skin.
#include <memory>

#include <gtest/gtest.h>

#include "gui_test_support.h"
#include "window/base/gtk/tav_hyperlink_ctrl.h"
#include "window/base/gtk/tav_static_bitmap.h"
#include "window/base/gtk/tav_static_text.h"
#include "window/base/mox_piece_window.h"

namespace {

using guitest::GradientAt;

class OverSkin : public ::testing::Test {
protected:
    void SetUp() override
    {
        frame_ = guitest::MakeHostFrame(wxSize(400, 300), wxPoint(40, 40));
        auto skin = std::make_unique<wxBitmap>(guitest::GradientImage(400, 300));
        piece_ = new MoxPieceWindow(frame_, std::move(skin), wxID_ANY, wxPoint(0, 0), wxSize(400, 300));
    }
    void TearDown() override { guitest::DestroyAllTopLevels(); }
    const wxBitmap* Skin() const { return piece_->GetBackgroundBitmap(); }

    struct Census {
        int pixels = 0;
        int skin = 0;      // exactly the skin under the pixel
        int brighter = 0;  // any channel brighter than the skin: not drawn by dark text over the skin
    };
    // Compares what the screen shows over `window` with the skin under it.
    Census Look(wxWindow* window)
    {
        // A native label paints inside its parent's paint; count those.
        guitest::PaintCounter paints(window->GetParent());
        window->Refresh();
        window->Update();
        EXPECT_TRUE(guitest::PumpUntil([&] { return paints.Count() > 0; }, guitest::kGuardMs));
        EXPECT_TRUE(guitest::SyncEvents());  // the painting has reached the server
        const wxImage shot = guitest::GrabWindow(window);
        const wxPoint origin = window->GetPosition();
        Census census;
        for (int y = 0; y < shot.GetHeight(); ++y)
            for (int x = 0; x < shot.GetWidth(); ++x) {
                const wxColour skin = GradientAt(origin.x + x, origin.y + y);
                const int r = shot.GetRed(x, y), g = shot.GetGreen(x, y), b = shot.GetBlue(x, y);
                ++census.pixels;
                census.skin += std::abs(r - skin.Red()) <= 1 && std::abs(g - skin.Green()) <= 1 &&
                               std::abs(b - skin.Blue()) <= 1;
                census.brighter += r > skin.Red() + 1 || g > skin.Green() + 1 || b > skin.Blue() + 1;
            }
        return census;
    }

    wxFrame* frame_ = nullptr;
    MoxPieceWindow* piece_ = nullptr;
};

TEST_F(OverSkin, PieceShowsItsSkinAndAPlainColourWithout)
{
    auto* bare = new MoxPieceWindow(piece_, nullptr, wxID_ANY, wxPoint(300, 200), wxSize(60, 40));
    bare->SetBackgroundColour(wxColour(10, 20, 30));
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    EXPECT_TRUE(guitest::ShowsColour(piece_, wxPoint(10, 15), GradientAt(10, 15)));
    EXPECT_TRUE(guitest::ShowsColour(piece_, wxPoint(250, 120), GradientAt(250, 120)));
    EXPECT_TRUE(guitest::ShowsColour(bare, wxPoint(5, 5), wxColour(10, 20, 30)));
}

TEST_F(OverSkin, LabelTextSitsOnTheSkin)
{
    auto* label = new TavStaticText(piece_, wxID_ANY, "Page range", wxPoint(50, 60));
    label->SetBackground(Skin());
    label->SetForegroundColour(*wxBLACK);
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    const Census census = Look(label);
    ASSERT_GT(census.pixels, 100);
    EXPECT_EQ(census.brighter, 0) << "something other than dark text over the skin";
    EXPECT_GT(census.skin * 2, census.pixels) << "mostly skin around the glyphs";
    EXPECT_LT(census.skin, census.pixels) << "the text is drawn";
}

TEST_F(OverSkin, LabelIsWhiteUntilTold)
{
    auto* label = new TavStaticText(piece_, wxID_ANY, "Total", wxPoint(40, 150));
    label->SetBackground(Skin());
    EXPECT_EQ(label->GetForegroundColour(), *wxWHITE);
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    const Census census = Look(label);
    EXPECT_GT(census.brighter, 0) << "white glyphs";
    EXPECT_GT(census.skin * 2, census.pixels);
}

TEST_F(OverSkin, PieceIsCutAgainOnlyWhenTheLabelMoves)
{
    auto* label = new TavStaticText(piece_, wxID_ANY, "Label", wxPoint(60, 90));
    label->SetBackground(Skin());
    label->SetForegroundColour(*wxBLACK);
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    Look(label);
    const int cuts = label->GetPiece().GetCutCount();
    ASSERT_GE(cuts, 1);
    Look(label);
    EXPECT_EQ(label->GetPiece().GetCutCount(), cuts);
    label->Move(61, 90);
    const Census census = Look(label);
    EXPECT_EQ(label->GetPiece().GetCutCount(), cuts + 1);
    EXPECT_EQ(label->GetPiece().GetRect().GetPosition(), wxPoint(61, 90));
    EXPECT_EQ(census.brighter, 0);
}

TEST_F(OverSkin, LabelPartlyBeyondTheSkinShowsTheClippedPiece)
{
    // The skin is 400 wide; the label reaches past it. No assertion may fire.
    auto* label = new TavStaticText(piece_, wxID_ANY, "Far to the right edge", wxPoint(370, 20));
    label->SetBackground(Skin());
    label->SetForegroundColour(*wxBLACK);
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    Look(label);
    const wxRect cut = label->GetPiece().GetRect();
    EXPECT_EQ(cut.GetPosition(), wxPoint(370, 20));
    EXPECT_TRUE(guitest::ShowsColour(label, wxPoint(1, 1), GradientAt(371, 21), 1));
}

TEST_F(OverSkin, ImageShowsTheSkinThroughItsTransparentPart)
{
    wxImage image = guitest::SolidImage(20, 10, wxColour(0, 0, 255));
    for (int y = 0; y < 10; ++y)
        for (int x = 10; x < 20; ++x)
            image.SetAlpha(x, y, 0);
    auto* picture = new TavStaticBitmap(piece_, wxID_ANY, wxBitmap(image), wxPoint(120, 200));
    picture->SetBackground(Skin());
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    EXPECT_TRUE(guitest::ShowsColour(picture, wxPoint(3, 5), wxColour(0, 0, 255)));
    EXPECT_TRUE(guitest::ShowsColour(picture, wxPoint(15, 5), GradientAt(135, 205), 1));
}

TEST_F(OverSkin, LinkTextSitsOnTheSkin)
{
    auto* link = new TavHyperLinkCtrl(piece_, wxID_ANY, "example.com", "https://example.com/", wxPoint(200, 240));
    link->SetBackground(Skin());
    link->SetNormalColour(*wxBLACK);
    link->SetForegroundColour(*wxBLACK);
    ASSERT_TRUE(guitest::ShowAndWait(frame_));
    const Census census = Look(link);
    EXPECT_EQ(census.brighter, 0);
    EXPECT_GT(census.skin * 2, census.pixels);
    EXPECT_LT(census.skin, census.pixels);
}

}  // namespace
