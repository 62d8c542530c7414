// Theme images and bitmap surgery: loading from the archive, crops inside and
// outside the source, masks to alpha, the radio glyph.
#include <gtest/gtest.h>
#include <wx/frame.h>
#include <wx/renderer.h>

#include "gui_test_support.h"
#include "window/base/image_util.h"

namespace {

using guitest::SolidImage;

class ThemeImages : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(guitest::WriteTheme(dir_.Path(), "<face/>",
                                        {{"image/a/red.png", SolidImage(7, 5, wxColour(255, 0, 0))},
                                         {"image/b/not-png.png", wxImage(), "not a PNG"}}));
    }
    guitest::TempDir dir_;
};

TEST_F(ThemeImages, LoadsEntryFromArchive)
{
    guitest::ScopedThemeDir theme(dir_.Path());
    const wxBitmap red = ImageUtil::LoadBitmap("image/a/red.png");
    ASSERT_TRUE(red.IsOk());
    EXPECT_EQ(red.GetSize(), wxSize(7, 5));
    const wxImage image = red.ConvertToImage();
    EXPECT_EQ(wxColour(image.GetRed(3, 2), image.GetGreen(3, 2), image.GetBlue(3, 2)), wxColour(255, 0, 0));
    auto owned = ImageUtil::LoadNewBitmap("image/a/red.png");
    ASSERT_TRUE(owned);
    EXPECT_EQ(owned->GetSize(), wxSize(7, 5));
}

TEST_F(ThemeImages, MissingOrBrokenEntryIsNullWithALine)
{
    guitest::ScopedThemeDir theme(dir_.Path());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ImageUtil::LoadBitmap("image/a/absent.png").IsOk());
    EXPECT_FALSE(ImageUtil::LoadNewBitmap("image/b/not-png.png"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("image/a/absent.png"), std::string::npos);
    EXPECT_NE(err.find("image/b/not-png.png"), std::string::npos);
}

TEST_F(ThemeImages, MissingArchiveIsNull)
{
    guitest::ScopedThemeDir theme(dir_.Path() + "/nowhere");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ImageUtil::LoadBitmap("image/a/red.png").IsOk());
    testing::internal::GetCapturedStderr();
}

wxBitmap Quadrants()
{
    // 4 x 4: top-left red, top-right green, bottom-left blue, bottom-right white.
    wxImage image(4, 4);
    image.SetRGB(wxRect(0, 0, 2, 2), 255, 0, 0);
    image.SetRGB(wxRect(2, 0, 2, 2), 0, 255, 0);
    image.SetRGB(wxRect(0, 2, 2, 2), 0, 0, 255);
    image.SetRGB(wxRect(2, 2, 2, 2), 255, 255, 255);
    return wxBitmap(image);
}

wxColour At(const wxImage& image, int x, int y)
{
    return wxColour(image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y));
}

TEST(Crop, InsideCopiesTheRectangleWithoutMessage)
{
    guitest::MessageBoxWatcher boxes;
    const wxBitmap whole = Quadrants();
    const wxBitmap piece = ImageUtil::CropBitmap(whole, 2, 2, 2, 2);
    const wxBitmap full = ImageUtil::CropBitmap(whole, 0, 0, 4, 4);
    EXPECT_TRUE(guitest::SyncEvents());  // a message shown later would be queued by now
    EXPECT_TRUE(boxes.Boxes().empty());
    ASSERT_TRUE(piece.IsOk());
    EXPECT_EQ(piece.GetSize(), wxSize(2, 2));
    EXPECT_EQ(At(piece.ConvertToImage(), 1, 1), wxColour(255, 255, 255));
    EXPECT_EQ(full.GetSize(), wxSize(4, 4));
    auto owned = ImageUtil::CropNewBitmap(whole, 0, 2, 2, 2);
    ASSERT_TRUE(owned);
    EXPECT_EQ(At(owned->ConvertToImage(), 0, 0), wxColour(0, 0, 255));
}

TEST(Crop, OutsideShowsMessageAndLeavesOutsideTransparent)
{
    guitest::MessageBoxWatcher boxes;
    const wxBitmap piece = ImageUtil::CropBitmap(Quadrants(), 1, 0, 4, 4);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    // The caption is "Message", the toolkit's default caption, which GTK shows as an untitled box.
    EXPECT_EQ(boxes.Boxes()[0].text,
              " face config is wrong. x=1,y=0,width=4,height=4; \nMax width is 4,Max height is 4.\n"
              "(x+width) must <= Max width AND (y+height) must <= Max height");
    ASSERT_TRUE(piece.IsOk());
    ASSERT_EQ(piece.GetSize(), wxSize(4, 4));
    const wxImage image = piece.ConvertToImage();
    ASSERT_TRUE(image.HasAlpha());
    // Columns 0..2 come from source columns 1..3; column 3 lies outside.
    EXPECT_EQ(At(image, 0, 0), wxColour(255, 0, 0));
    EXPECT_EQ(At(image, 0, 3), wxColour(0, 0, 255));
    EXPECT_EQ(At(image, 2, 3), wxColour(255, 255, 255));
    EXPECT_EQ(image.GetAlpha(0, 0), 255);
    for (int y = 0; y < 4; ++y)
        EXPECT_EQ(image.GetAlpha(3, y), 0) << "row " << y;
}

TEST(Crop, NewCropOutsideAlsoReturnsThePiece)
{
    guitest::MessageBoxWatcher boxes;
    auto piece = ImageUtil::CropNewBitmap(Quadrants(), 0, 3, 4, 2);
    EXPECT_EQ(boxes.Boxes().size(), 1u);
    ASSERT_TRUE(piece);
    const wxImage image = piece->ConvertToImage();
    EXPECT_EQ(At(image, 0, 0), wxColour(0, 0, 255));
    EXPECT_EQ(image.GetAlpha(0, 1), 0);
}

TEST(Crop, InvalidSourceGivesTransparentPiece)
{
    guitest::MessageBoxWatcher boxes;
    const wxBitmap piece = ImageUtil::CropBitmap(wxNullBitmap, 0, 0, 3, 3);
    EXPECT_EQ(boxes.Boxes().size(), 1u);
    ASSERT_TRUE(piece.IsOk());
    EXPECT_EQ(piece.ConvertToImage().GetAlpha(1, 1), 0);
}

TEST(MaskToAlpha, MaskColourBecomesTransparent)
{
    wxImage image(3, 1);
    image.SetRGB(0, 0, 255, 0, 255);
    image.SetRGB(1, 0, 10, 20, 30);
    image.SetRGB(2, 0, 255, 0, 254);  // near the mask colour: stays opaque
    image.SetMaskColour(255, 0, 255);
    ImageUtil::MaskToAlpha(image);
    EXPECT_FALSE(image.HasMask());
    ASSERT_TRUE(image.HasAlpha());
    EXPECT_EQ(image.GetAlpha(0, 0), 0);
    EXPECT_EQ(image.GetAlpha(1, 0), 255);
    EXPECT_EQ(image.GetAlpha(2, 0), 255);
}

TEST(RadioBitmap, GlyphOnTransparentGround)
{
    auto* frame = guitest::MakeHostFrame();
    const wxSize size = wxRendererNative::Get().GetCheckBoxSize(frame);
    const wxBitmap off = ImageUtil::CreateRadioBitmap(frame, false);
    const wxBitmap on = ImageUtil::CreateRadioBitmap(frame, true);
    ASSERT_TRUE(off.IsOk());
    ASSERT_TRUE(on.IsOk());
    EXPECT_EQ(off.GetSize(), size);
    const wxImage a = off.ConvertToImage(), b = on.ConvertToImage();
    ASSERT_TRUE(a.HasAlpha());
    // A round glyph leaves the corners clear.
    EXPECT_EQ(a.GetAlpha(0, 0), 0);
    EXPECT_EQ(b.GetAlpha(size.x - 1, size.y - 1), 0);
    // Something is drawn, and checked differs from unchecked.
    int drawn = 0, different = 0;
    for (int y = 0; y < size.y; ++y)
        for (int x = 0; x < size.x; ++x) {
            drawn += a.GetAlpha(x, y) != 0;
            different += a.GetAlpha(x, y) != b.GetAlpha(x, y) || At(a, x, y) != At(b, x, y);
        }
    EXPECT_GT(drawn, 0);
    EXPECT_GT(different, 0);
    frame->Destroy();
    guitest::DestroyAllTopLevels();
}

}  // namespace
