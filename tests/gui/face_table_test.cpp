// The face description: keys from element paths, attribute readings, failures.
#include <algorithm>
#include <ostream>
#include <string>

#include <gtest/gtest.h>
#include <wx/ffile.h>

#include "gui_test_support.h"
#include "window/base/face_table.h"
#include "window/base/image_util.h"

namespace {

wxString WriteFace(const guitest::TempDir& dir, const std::string& text, const char* name = "face.xml")
{
    const wxString path = dir.Path() + "/" + name;
    wxFFile file(path, "wb");
    file.Write(text.data(), text.size());
    return path;
}

struct FaceCase {
    const char* name;
    const char* xml;
    const char* key;
    FaceRect expected;
};

void PrintTo(const FaceCase& c, std::ostream* os)
{
    *os << c.name;
}

class FaceFileTest : public ::testing::TestWithParam<FaceCase> {};

TEST_P(FaceFileTest, ReadsEntry)
{
    guitest::TempDir dir;
    ASSERT_EQ(LoadFace(WriteFace(dir, GetParam().xml)), 0);
    const FaceRect got = GetFace(GetParam().key);
    EXPECT_EQ(got.x, GetParam().expected.x);
    EXPECT_EQ(got.y, GetParam().expected.y);
    EXPECT_EQ(got.width, GetParam().expected.width);
    EXPECT_EQ(got.height, GetParam().expected.height);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FaceFileTest,
    ::testing::Values(
        FaceCase{"NestedKey", "<face><tb1><layout y=\"5\"/></tb1></face>", "/face/tb1/layout", {0, 5, 0, 0}},
        FaceCase{"AllFour", "<face><r1 x=\"1\" y=\"2\" width=\"3\" height=\"4\"/></face>", "/face/r1", {1, 2, 3, 4}},
        FaceCase{"SizeSetsHeight", "<face><r2 size=\"9\"/></face>", "/face/r2", {0, 0, 0, 9}},
        FaceCase{"HSetsHeight", "<face><r3 h=\"11\"/></face>", "/face/r3", {0, 0, 0, 11}},
        FaceCase{"NamesAreCaseSensitive", "<face><r4 X=\"7\"/></face>", "/face/r4", {0, 0, 0, 7}},
        FaceCase{"AtoiReading", "<face><r5 x=\" 12px\" y=\"-3\" width=\"abc\" height=\"+7\"/></face>", "/face/r5",
                 {12, -3, 0, 7}},
        FaceCase{"LaterReplacesWhole", "<face><r6 x=\"1\" y=\"2\" width=\"3\"/><r6 y=\"8\"/></face>", "/face/r6",
                 {0, 8, 0, 0}},
        FaceCase{"AncestorsWithoutAttributesStillName", "<face><a7><b7><c7 width=\"70\"/></b7></a7></face>",
                 "/face/a7/b7/c7", {0, 0, 70, 0}}),
    [](const ::testing::TestParamInfo<FaceCase>& info) { return std::string(info.param.name); });

TEST(FaceTable, ElementWithoutAttributesDefinesNothing)
{
    guitest::TempDir dir;
    ASSERT_EQ(LoadFace(WriteFace(dir, "<face><bare8><leaf8 x=\"1\"/></bare8></face>")), 0);
    EXPECT_TRUE(HasFace("/face/bare8/leaf8"));
    EXPECT_FALSE(HasFace("/face/bare8"));
}

TEST(FaceTable, MissingFileReturnsMinusOneAndAddsNothing)
{
    const size_t before = FaceCount();
    EXPECT_EQ(LoadFace("/nonexistent/kestran/face.xml"), -1);
    EXPECT_EQ(FaceCount(), before);
}

TEST(FaceTable, ParseErrorKeepsEarlierEntriesAndWritesOneLine)
{
    guitest::TempDir dir;
    const wxString path = WriteFace(dir, "<face>\n<ok9 x=\"4\"/>\n<broken9 x=\"1\">\n</face>\n", "broken.xml");
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadFace(path), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(GetFace("/face/ok9").x, 4);
    EXPECT_EQ(err, "mismatched tag at line 4 ->" + std::string(path.utf8_str()) + "\n");
}

TEST(FaceTable, LongFileIsReadAcrossChunks)
{
    // Well over the 1024-byte read size, with an entry at the very end.
    std::string xml = "<face>\n";
    for (int i = 0; i < 200; ++i)
        xml += "<pad" + std::to_string(i) + " x=\"" + std::to_string(i) + "\"/>\n";
    xml += "<last10 width=\"99\"/>\n</face>\n";
    guitest::TempDir dir;
    ASSERT_EQ(LoadFace(WriteFace(dir, xml)), 0);
    EXPECT_EQ(GetFace("/face/pad150").x, 150);
    EXPECT_EQ(GetFace("/face/last10").width, 99);
}

TEST(FaceTable, UndefinedKeyIsZeroWithOneLineNamingIt)
{
    testing::internal::CaptureStderr();
    const FaceRect got = GetFace("/face/never/defined");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, FaceRect());
    EXPECT_NE(err.find("/face/never/defined"), std::string::npos);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST(FaceReadings, ColourUsesLowBytesAndIsOpaque)
{
    const wxColour grey = ImageUtil::FaceColour(FaceRect{51, 51, 51, 0});
    EXPECT_EQ(grey.GetRGB(), 0x333333u);
    EXPECT_EQ(grey.Alpha(), wxALPHA_OPAQUE);
    const wxColour wrapped = ImageUtil::FaceColour(FaceRect{256 + 1, 2, 3, 77});
    EXPECT_EQ(wrapped, wxColour(1, 2, 3));
}

TEST(FaceReadings, FontSizeAndBold)
{
    const wxFont bold = ImageUtil::FaceFont(FaceRect{1, 0, 0, 9});
    EXPECT_EQ(bold.GetPointSize(), 9);
    EXPECT_EQ(bold.GetWeight(), wxFONTWEIGHT_BOLD);
    const wxFont plain = ImageUtil::FaceFont(FaceRect{0, 0, 0, 9});
    EXPECT_EQ(plain.GetWeight(), wxFONTWEIGHT_NORMAL);
    EXPECT_EQ(ImageUtil::FaceFont(FaceRect{1, 0, 0, 9}, false).GetWeight(), wxFONTWEIGHT_NORMAL);
}

}  // namespace
