// The installed default theme: every face key and archive entry the window
// reads is present, every rectangle lies inside the window's skin picture and
// inside its piece, the control rows fit, and every text colour stays
// readable (WCAG AA, 4.5 : 1) on the pixels it is drawn over.
//
// Reads the staged theme (build/stage/Themes) through the program's own
// loaders, so a theme that the program would misread fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/filename.h>
#include <wx/filesys.h>
#include <wx/fs_arc.h>
#include <wx/image.h>
#include <wx/settings.h>

#include "window/base/face_table.h"
#include "window/base/image_util.h"

namespace {

const wxString kThemeDir = wxString::FromUTF8(KESTRAN_STAGE_DIR) + "/Themes";

struct Box {
    int x, y, w, h;
};

std::ostream& operator<<(std::ostream& os, const Box& b)
{
    return os << "(" << b.x << ", " << b.y << ", " << b.w << " x " << b.h << ")";
}

bool Inside(const Box& inner, const Box& outer)
{
    return inner.w > 0 && inner.h > 0 && inner.x >= outer.x && inner.y >= outer.y &&
           inner.x + inner.w <= outer.x + outer.w && inner.y + inner.h <= outer.y + outer.h;
}

bool Overlap(const Box& a, const Box& b)
{
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

Box Rect(const FaceRect& f) { return {f.x, f.y, f.width, f.height}; }

// WCAG 2 relative luminance and contrast ratio.
double Luminance(const wxColour& c)
{
    auto channel = [](unsigned char v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.Red()) + 0.7152 * channel(c.Green()) + 0.0722 * channel(c.Blue());
}

double Contrast(const wxColour& a, const wxColour& b)
{
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Lowest contrast of `text` against the pixels of `image` inside `area`: the
// text must be readable over every pixel it may sit on.
double WorstContrast(const wxColour& text, const wxImage& image, const Box& area)
{
    double worst = 100.0;
    for (int y = area.y; y < area.y + area.h; ++y)
        for (int x = area.x; x < area.x + area.w; ++x)
            worst = std::min(worst, Contrast(text, wxColour(image.GetRed(x, y), image.GetGreen(x, y),
                                                            image.GetBlue(x, y))));
    return worst;
}

wxSize TextSize(const wxFont& font, const wxString& text)
{
    wxBitmap scratch(8, 8);
    wxMemoryDC dc(scratch);
    dc.SetFont(font);
    return dc.GetTextExtent(text);
}

// Height of the tallest line among Latin, accented and CJK samples: labels
// are translated, and Chinese and Japanese glyphs make the line taller.
int TallestLine(const wxFont& font)
{
    int tallest = 0;
    for (const char* sample : {"Add Folder", "Ordner hinzuf\u00fcgen", "\u6dfb\u52a0\u6587\u4ef6",
                               "\u30d5\u30a9\u30eb\u30c0\u30fc\u3092\u8ffd\u52a0"})
        tallest = std::max(tallest, TextSize(font, wxString::FromUTF8(sample)).y);
    return tallest;
}

// Every entry the window loads from default.zip.
std::vector<wxString> ArchiveEntries()
{
    std::vector<wxString> entries = {"image/screen1.png", "application/application.png"};
    const char* states[] = {"normal", "current", "pressed"};
    for (const char* s : states) {
        entries.push_back(wxString::Format("image/base/close-%s.png", s));
        entries.push_back(wxString::Format("image/titlebar/minimize-%s.png", s));
        entries.push_back(wxString::Format("image/base/big-%s.png", s));
        entries.push_back(wxString::Format("image/base/small-%s.png", s));
        for (const char* b : {"add-file", "add-folder", "delete", "clear-all"})
            entries.push_back(wxString::Format("image/toolbar/%s-%s.png", b, s));
        for (const char* p : {"firstpage", "prev", "nextpage", "lastpage"})
            entries.push_back(wxString::Format("image/preview/%s-%s.png", p, s));
    }
    return entries;
}

// Every face key the window looks up.
std::vector<wxString> FaceKeys()
{
    std::vector<wxString> keys = {
        "/face/titlebar", "/face/menubar", "/face/toolbar", "/face/outputwindow", "/face/preview-window",
        "/face/pagerange-window", "/face/selectwidow", "/face/titlebar/logo", "/face/titlebar/textcolour",
        "/face/titlebar/closebutton", "/face/menu/text-normal-colour", "/face/menu/text-current-colour",
        "/face/toolbar/layout", "/face/toolbar/font", "/face/base-button/big-button-crop",
        "/face/base-button/big-button-crop/textcolour", "/face/base-button/small-button-crop",
        "/face/base-button/small-button-crop/textcolour", "/face/outputwindow/output-description-font",
        "/face/outputwindow/start-button", "/face/outputwindow/textctrl", "/face/outputwindow/start-font",
        "/face/outputwindow/statictext", "/face/pagerange-window/title-font", "/face/pagerange-window/radio-font",
        "/face/pagerange-window/description-font", "/face/preview-window/preview",
        "/face/preview-window/control-region", "/face/selectwidow/guide", "/face/selectwidow/guide/text-colour",
        "/face/selectwidow/guide/title-font", "/face/selectwidow/guide/content-font"};
    for (const char* b : {"add-file", "add-folder", "delete", "clear-all"}) {
        const wxString base = wxString("/face/toolbar/") + b + "-image";
        keys.push_back(base);
        keys.push_back(base + "/textcolour");
        keys.push_back(base + "/offsety");
    }
    return keys;
}

class ThemeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!wxFileSystem::HasHandlerForPath("x.zip#zip:y"))
            wxFileSystem::AddHandler(new wxArchiveFSHandler);
        if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr)
            wxImage::AddHandler(new wxPNGHandler);
        screen_ = Load("image/screen1.png").ConvertToImage();
    }
    // Other tests of this binary load small faces into the same process-wide
    // table; loading ours again before each test puts its values back.
    void SetUp() override { load_result_ = LoadFace(kThemeDir + "/face.xml"); }
    static void TearDownTestSuite() { screen_ = wxImage(); }

    static wxBitmap Load(const wxString& entry)
    {
        return ImageUtil::LoadBitmapFromArchive(kThemeDir + "/default.zip", entry);
    }
    static wxImage LoadImage(const wxString& entry) { return Load(entry).ConvertToImage(); }

    static Box Screen() { return {0, 0, screen_.GetWidth(), screen_.GetHeight()}; }

    // Top of the output panel's folder line (label, two choices, then the
    // line with the folder field, Browse and Open), relative to the panel.
    static int FolderLineY()
    {
        wxFont bold = ImageUtil::FaceFont("/face/outputwindow/output-description-font");
        bold.MakeBold();
        const wxFont plain = ImageUtil::FaceFont("/face/outputwindow/output-description-font", false);
        const int label_h = TextSize(bold, "Output Folder").y;
        const int choice_h = std::max(TextSize(plain, "Customize").y, 16);
        return GetFace("/face/outputwindow/statictext").y + label_h + 10 + choice_h + 8;
    }

    // Where on the window a button of the image set `set` (an entry without
    // its "-state.png") sits, in screen1.png coordinates.
    static wxPoint SeatOf(const wxString& set)
    {
        const auto pieces = Pieces();
        const int W = screen_.GetWidth();
        const Box title = pieces.at("titlebar"), output = pieces.at("outputwindow"),
                  preview = pieces.at("preview-window");
        const int top = title.y + GetFace("/face/titlebar/logo").y;
        const int close_x = W + GetFace("/face/titlebar/closebutton").x - Load("image/base/close-normal.png").GetWidth();
        const int start_x = W - 20 - Load("image/base/big-normal.png").GetWidth();
        if (set == "image/base/close")
            return {close_x, top};
        if (set == "image/titlebar/minimize")
            return {close_x - Load("image/titlebar/minimize-normal.png").GetWidth(), top};
        if (set == "image/base/big")
            return {start_x, output.y + GetFace("/face/outputwindow/start-button").y};
        if (set == "image/base/small")
            return {start_x - 40 - Load("image/base/small-normal.png").GetWidth(), output.y + FolderLineY()};
        if (set.StartsWith("image/preview/")) {
            const FaceRect row = GetFace("/face/preview-window/control-region");
            return {preview.x + row.x, preview.y + row.y};
        }
        const Box toolbar = Rect(GetFace("/face/toolbar"));
        return {toolbar.x + GetFace("/face/toolbar/layout").x, toolbar.y};
    }

    // The image of `set` in `state` as it shows on the window: blended over
    // the skin at its seat (the code draws the skin first, then the image).
    static wxImage OnSkin(const wxString& set, const char* state)
    {
        const wxImage image = LoadImage(set + "-" + state + ".png");
        if (!image.IsOk())
            return image;
        const wxPoint seat = SeatOf(set);
        wxImage out(image.GetWidth(), image.GetHeight());
        for (int y = 0; y < image.GetHeight(); ++y)
            for (int x = 0; x < image.GetWidth(); ++x) {
                const int sx = seat.x + x, sy = seat.y + y;
                const bool on_screen = sx >= 0 && sy >= 0 && sx < screen_.GetWidth() && sy < screen_.GetHeight();
                const double a = image.HasAlpha() ? image.GetAlpha(x, y) / 255.0 : 1.0;
                auto blend = [&](unsigned char fg, unsigned char bg) {
                    return static_cast<unsigned char>(std::lround(a * fg + (1 - a) * bg));
                };
                out.SetRGB(x, y, blend(image.GetRed(x, y), on_screen ? screen_.GetRed(sx, sy) : 255),
                           blend(image.GetGreen(x, y), on_screen ? screen_.GetGreen(sx, sy) : 255),
                           blend(image.GetBlue(x, y), on_screen ? screen_.GetBlue(sx, sy) : 255));
            }
        return out;
    }

    // The rectangles the main frame gives its pieces (full-width ones are
    // stretched the way the frame stretches them).
    static std::map<std::string, Box> Pieces()
    {
        const int W = screen_.GetWidth(), H = screen_.GetHeight();
        const FaceRect title = GetFace("/face/titlebar"), menu = GetFace("/face/menubar"),
                       output = GetFace("/face/outputwindow");
        return {{"titlebar", {0, title.y, W, title.height}},
                {"menubar", {menu.x, menu.y, W - menu.x, menu.height}},
                {"toolbar", Rect(GetFace("/face/toolbar"))},
                {"outputwindow", {0, output.y, W, H - output.y}},
                {"preview-window", Rect(GetFace("/face/preview-window"))},
                {"pagerange-window", Rect(GetFace("/face/pagerange-window"))},
                {"selectwidow", Rect(GetFace("/face/selectwidow"))}};
    }

    static int load_result_;
    static wxImage screen_;
};

int ThemeTest::load_result_ = -1;
wxImage ThemeTest::screen_;

TEST_F(ThemeTest, FaceFileLoadsAndDefinesEveryKeyTheWindowReads)
{
    ASSERT_EQ(load_result_, 0) << "cannot open " << kThemeDir << "/face.xml";
    for (const wxString& key : FaceKeys())
        EXPECT_TRUE(HasFace(key)) << "face key missing: " << key;
}

TEST_F(ThemeTest, ArchiveHoldsEveryImageTheWindowLoads)
{
    for (const wxString& entry : ArchiveEntries())
        EXPECT_TRUE(Load(entry).IsOk()) << "archive entry missing or unreadable: " << entry;
}

TEST_F(ThemeTest, WindowFitsASmallLaptopScreen)
{
    ASSERT_TRUE(screen_.IsOk());
    // 1366 x 768 with room for a panel or task bar.
    EXPECT_LE(screen_.GetWidth(), 1366);
    EXPECT_LE(screen_.GetHeight(), 768 - 40);
    EXPECT_GE(screen_.GetWidth(), 800);
    EXPECT_GE(screen_.GetHeight(), 560);
    const wxImage logo = LoadImage("application/application.png");
    EXPECT_EQ(logo.GetSize(), wxSize(16, 16)) << "the title bar would have to scale the logo";
}

TEST_F(ThemeTest, PiecesLieInsideTheScreenImageAndDoNotOverlap)
{
    ASSERT_TRUE(screen_.IsOk());
    const auto pieces = Pieces();
    for (const auto& [name, box] : pieces)
        EXPECT_TRUE(Inside(box, Screen())) << name << " " << box << " is not inside screen1.png " << Screen();
    for (auto a = pieces.begin(); a != pieces.end(); ++a)
        for (auto b = std::next(a); b != pieces.end(); ++b)
            EXPECT_FALSE(Overlap(a->second, b->second))
                << a->first << " " << a->second << " overlaps " << b->first << " " << b->second;
}

TEST_F(ThemeTest, StatesOfOneButtonShareOneSize)
{
    std::vector<wxString> sets = {"image/base/close", "image/titlebar/minimize", "image/base/big",
                                  "image/base/small"};
    for (const char* b : {"add-file", "add-folder", "delete", "clear-all"})
        sets.push_back(wxString("image/toolbar/") + b);
    for (const char* p : {"firstpage", "prev", "nextpage", "lastpage"})
        sets.push_back(wxString("image/preview/") + p);
    for (const wxString& set : sets) {
        const wxSize normal = Load(set + "-normal.png").GetSize();
        EXPECT_EQ(Load(set + "-current.png").GetSize(), normal) << set;
        EXPECT_EQ(Load(set + "-pressed.png").GetSize(), normal) << set;
    }
}

TEST_F(ThemeTest, TitleBarHoldsLogoCaptionAndWindowButtons)
{
    const Box bar = Pieces()["titlebar"];
    const FaceRect logo = GetFace("/face/titlebar/logo");
    EXPECT_TRUE(Inside({logo.x, logo.y, 16, 16}, {0, 0, bar.w, bar.h})) << "logo at " << logo.x << "," << logo.y;

    const wxSize close = Load("image/base/close-normal.png").GetSize();
    const wxSize minimize = Load("image/titlebar/minimize-normal.png").GetSize();
    const int close_x = bar.w + GetFace("/face/titlebar/closebutton").x - close.x;
    const Box close_box{close_x, logo.y, close.x, close.y};
    const Box minimize_box{close_x - minimize.x, logo.y, minimize.x, minimize.y};
    EXPECT_TRUE(Inside(close_box, {0, 0, bar.w, bar.h})) << "close button " << close_box;
    EXPECT_TRUE(Inside(minimize_box, {0, 0, bar.w, bar.h})) << "minimize button " << minimize_box;

    // The caption (bold 9 pt) ends on the logo's bottom line and must clear the buttons.
    wxFont caption_font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    caption_font.SetPointSize(9);
    caption_font.MakeBold();
    const wxSize caption = TextSize(caption_font, "Olvarin Kestran");
    const Box caption_box{logo.x + 16 + 10, logo.y + 16 - caption.y, caption.x, caption.y};
    EXPECT_TRUE(Inside(caption_box, {0, 0, bar.w, bar.h})) << "caption " << caption_box;
    EXPECT_LT(caption_box.x + caption_box.w, minimize_box.x);
}

TEST_F(ThemeTest, MenuStripHoldsItsTitlesInEveryScript)
{
    // The titles are cut from the strip at its top, in the 10 pt default font.
    const Box menu = Pieces()["menubar"];
    wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    font.SetPointSize(10);
    EXPECT_LE(TallestLine(font), menu.h) << "menu titles would be clipped";
    EXPECT_LE(menu.y + menu.h, Rect(GetFace("/face/toolbar")).y) << "menu strip runs into the toolbar";
    const Box title = Pieces()["titlebar"];
    EXPECT_GE(menu.y, title.y + title.h) << "menu strip runs into the title bar";
}

TEST_F(ThemeTest, ToolbarButtonsFitTheirSlicesAndTheToolbar)
{
    const Box toolbar = Rect(GetFace("/face/toolbar"));
    const FaceRect layout = GetFace("/face/toolbar/layout");
    const wxFont font = ImageUtil::FaceFont("/face/toolbar/font");
    const std::vector<std::pair<const char*, const char*>> buttons = {
        {"add-file", "Add File"}, {"add-folder", "Add Folder"}, {"delete", "Delete"}, {"clear-all", "Clear All"}};
    int x = layout.x;
    for (const auto& [name, label] : buttons) {
        const wxString key = wxString("/face/toolbar/") + name + "-image";
        const FaceRect crop = GetFace(key);
        const wxSize image = Load(wxString("image/toolbar/") + name + "-normal.png").GetSize();
        EXPECT_GT(crop.x, 4) << key << ": the guide cuts the icon from x 4 to the left slice's end";
        EXPECT_GT(crop.width, 0) << key;
        EXPECT_LT(crop.x + crop.width, image.x) << key << ": no room for the right slice";
        EXPECT_LE(image.y, toolbar.h) << name << " is taller than the toolbar";
        const wxSize text = TextSize(font, label);
        const int text_y = GetFace(key + "/offsety").y;
        EXPECT_GE(text_y, 0) << key;
        EXPECT_LE(text_y + TallestLine(font), image.y) << key << ": the label runs out of the button";
        x += crop.x + text.x + (image.x - crop.x - crop.width) + layout.width;
    }
    // Room to spare for longer translations.
    EXPECT_LT(x + 200, toolbar.w) << "the four buttons end at " << x;
}

TEST_F(ThemeTest, TextButtonsFitTheirLabels)
{
    struct Case {
        const char* crop_key;
        const char* image;
        wxFont font;
        const char* label;
    };
    wxFont start = ImageUtil::FaceFont("/face/outputwindow/start-font");
    start.MakeBold();
    wxFont small = ImageUtil::FaceFont("/face/outputwindow/output-description-font");
    small.MakeBold();
    const Case cases[] = {
        {"/face/base-button/big-button-crop", "image/base/big-normal.png", start, "Start "},
        {"/face/base-button/small-button-crop", "image/base/small-normal.png", small, "Browse"},
    };
    for (const Case& c : cases) {
        const FaceRect crop = GetFace(c.crop_key);
        const wxSize image = Load(c.image).GetSize();
        EXPECT_LT(crop.x + crop.width, image.x) << c.crop_key;
        EXPECT_GT(crop.width, 0) << c.crop_key;
        EXPECT_GT(TextSize(c.font, c.label).x, 0) << c.label;
        EXPECT_GE(crop.y, 0) << c.crop_key;
        EXPECT_LE(crop.y + TallestLine(c.font), image.y) << c.crop_key << ": the label runs out of the button";
    }
}

TEST_F(ThemeTest, OutputPanelControlsLieInsideIt)
{
    const Box panel = Pieces()["outputwindow"];
    const Box local{0, 0, panel.w, panel.h};
    const FaceRect label = GetFace("/face/outputwindow/statictext");
    const wxSize big = Load("image/base/big-normal.png").GetSize();
    const wxSize small = Load("image/base/small-normal.png").GetSize();
    const FaceRect start = GetFace("/face/outputwindow/start-button");
    EXPECT_TRUE(Inside({panel.w - 20 - big.x, start.y, big.x, big.y}, local)) << "Start button";

    // Label, then the two choices and the folder line, as the panel lays them out.
    const int custom_y = FolderLineY();
    const int field_h = GetFace("/face/outputwindow/textctrl").height;
    EXPECT_TRUE(Inside({label.x, custom_y, 100, std::max(field_h, small.y)}, local))
        << "the folder line ends at " << custom_y + std::max(field_h, small.y) << " of " << panel.h;
}

TEST_F(ThemeTest, PreviewImageAndControlRowLieInsideThePreview)
{
    const Box panel = Pieces()["preview-window"];
    const Box local{0, 0, panel.w, panel.h};
    const Box image = Rect(GetFace("/face/preview-window/preview"));
    EXPECT_TRUE(Inside(image, local)) << "page image " << image;
    // Pages are portrait: the rectangle keeps roughly a page's proportions.
    EXPECT_GT(image.h, image.w);
    EXPECT_NEAR(static_cast<double>(image.w) / image.h, 0.72, 0.06);

    const FaceRect row = GetFace("/face/preview-window/control-region");
    const int gap = row.width;
    const wxSize button = Load("image/preview/firstpage-normal.png").GetSize();
    // Buttons and the 40 x 20 page box share the row's top: equal heights line them up.
    EXPECT_EQ(button.y, 20) << "preview buttons do not line up with the page box";
    const int label_w = TextSize(wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT), "/9999").x;
    // first, gap, previous, gap, page box (40), count label from box + 41, gap, next ... last at the right.
    const int next_right = row.x + button.x + gap + button.x + gap + 41 + label_w + gap + button.x;
    const int last_left = panel.w - gap - button.x;
    EXPECT_LE(next_right + gap, last_left) << "next-page button runs into the last-page button";
    EXPECT_TRUE(Inside({row.x, row.y, last_left + button.x - row.x, std::max(button.y, 20)}, local))
        << "control row";
    EXPECT_LE(image.y + image.h, row.y) << "the page image runs into the control row";
}

TEST_F(ThemeTest, GuideAndPageRangeTextFitTheirPanels)
{
    const Box list = Pieces()["selectwidow"];
    const Box guide = Rect(GetFace("/face/selectwidow/guide"));
    EXPECT_TRUE(Inside(guide, {0, 0, list.w, list.h})) << "guide " << guide;

    const Box range = Pieces()["pagerange-window"];
    const int title_h = TextSize(ImageUtil::FaceFont("/face/pagerange-window/title-font"), "Page Range").y;
    const int radio_h = std::max(TextSize(ImageUtil::FaceFont("/face/pagerange-window/radio-font"), "Range").y, 16);
    const wxSize desc = TextSize(ImageUtil::FaceFont("/face/pagerange-window/description-font"),
                                 "Enter page numbers and/or page ranges\nseparated by commas, for example:\n1,3,4,5-10.");
    const int bottom = title_h + 4 + radio_h + 4 + radio_h + 4 + desc.y;
    EXPECT_LE(bottom, range.h) << "page range texts end at " << bottom;
    EXPECT_LE(14 + desc.x, range.w - 10) << "description wider than the panel";
}

// Text colours against the pixels under the text.
TEST_F(ThemeTest, EveryTextColourMeetsWcagAAOnItsBackground)
{
    ASSERT_TRUE(screen_.IsOk());
    struct Case {
        wxString what;
        wxString colour_key;
        wxImage image;
        Box area;
    };
    const Box title = Pieces()["titlebar"], menu = Pieces()["menubar"], list = Pieces()["selectwidow"];
    const FaceRect logo = GetFace("/face/titlebar/logo");
    const FaceRect guide = GetFace("/face/selectwidow/guide");
    std::vector<Case> cases = {
        {"caption", "/face/titlebar/textcolour", screen_, {logo.x + 26, title.y + logo.y, 200, 16}},
        {"menu titles", "/face/menu/text-normal-colour", screen_, {menu.x, menu.y, 120, menu.h}},
        {"menu title under the mouse", "/face/menu/text-current-colour", screen_, {menu.x, menu.y, 120, menu.h}},
        {"guide", "/face/selectwidow/guide/text-colour", screen_,
         {list.x + guide.x, list.y + guide.y, guide.width, guide.height}},
    };
    // Text buttons: the label sits on the centre slice, in every state.
    const char* states[] = {"normal", "current", "pressed"};
    for (const char* s : states) {
        for (const char* b : {"add-file", "add-folder", "delete", "clear-all"}) {
            const wxString key = wxString("/face/toolbar/") + b + "-image";
            const FaceRect crop = GetFace(key);
            const wxImage image = OnSkin(wxString("image/toolbar/") + b, s);
            const int y = GetFace(key + "/offsety").y;
            cases.push_back({wxString(b) + " " + s, key + "/textcolour", image, {crop.x, y, crop.width, 17}});
        }
        for (const char* size : {"big", "small"}) {
            const wxString key = wxString("/face/base-button/") + size + "-button-crop";
            const FaceRect crop = GetFace(key);
            const wxImage image = OnSkin(wxString("image/base/") + size, s);
            cases.push_back({wxString(size) + " button " + s, key + "/textcolour", image,
                             {crop.x, crop.y, crop.width, std::min(17, image.GetHeight() - crop.y)}});
        }
    }
    for (const Case& c : cases) {
        ASSERT_TRUE(c.image.IsOk()) << c.what;
        ASSERT_TRUE(Inside(c.area, {0, 0, c.image.GetWidth(), c.image.GetHeight()})) << c.what << " " << c.area;
        const double ratio = WorstContrast(ImageUtil::FaceColour(c.colour_key), c.image, c.area);
        EXPECT_GE(ratio, 4.5) << c.what << ": contrast " << ratio << " : 1";
    }
}

// Hover and pressed faces must be told apart from the normal one at a glance.
TEST_F(ThemeTest, HoverAndPressedStatesLookDifferent)
{
    std::vector<wxString> sets = {"image/base/close", "image/titlebar/minimize", "image/base/big",
                                  "image/base/small"};
    for (const char* b : {"add-file", "add-folder", "delete", "clear-all"})
        sets.push_back(wxString("image/toolbar/") + b);
    for (const char* p : {"firstpage", "prev", "nextpage", "lastpage"})
        sets.push_back(wxString("image/preview/") + p);
    auto mean_difference = [](const wxImage& a, const wxImage& b) {
        double sum = 0;
        const int n = a.GetWidth() * a.GetHeight();
        for (int i = 0; i < n * 3; ++i)
            sum += std::abs(int(a.GetData()[i]) - int(b.GetData()[i]));
        return sum / (n * 3);
    };
    for (const wxString& set : sets) {
        const wxImage normal = OnSkin(set, "normal");
        const wxImage current = OnSkin(set, "current");
        const wxImage pressed = OnSkin(set, "pressed");
        ASSERT_TRUE(normal.IsOk() && current.IsOk() && pressed.IsOk()) << set;
        EXPECT_GT(mean_difference(normal, current), 2.0) << set << ": hover looks like normal";
        EXPECT_GT(mean_difference(current, pressed), 2.0) << set << ": pressed looks like hover";
    }
}

// A disabled word button shows its normal image greyed by ConvertToDisabled,
// which darkens every opaque pixel; only what is transparent keeps showing the
// skin. So outside the drawn shape the images must be transparent, or a
// disabled toolbar would show grey boxes.
TEST_F(ThemeTest, WordButtonImagesAreTransparentAroundTheirShape)
{
    std::vector<wxString> entries = {"image/base/big-normal.png", "image/base/small-normal.png"};
    for (const char* b : {"add-file", "add-folder", "delete", "clear-all"}) {
        entries.push_back(wxString("image/toolbar/") + b + "-normal.png");
        entries.push_back(wxString("image/toolbar/") + b + "-current.png");
    }
    for (const wxString& entry : entries) {
        const wxImage image = LoadImage(entry);
        ASSERT_TRUE(image.IsOk()) << entry;
        ASSERT_TRUE(image.HasAlpha()) << entry;
        const int w = image.GetWidth(), h = image.GetHeight();
        for (const wxPoint corner : {wxPoint(0, 0), wxPoint(w - 1, 0), wxPoint(0, h - 1), wxPoint(w - 1, h - 1)})
            EXPECT_EQ(image.GetAlpha(corner.x, corner.y), 0) << entry << " corner " << corner.x << "," << corner.y;
    }
    // The flat toolbar buttons draw nothing but the icon until the mouse comes.
    for (const char* b : {"add-file", "add-folder", "delete", "clear-all"}) {
        const wxString key = wxString("/face/toolbar/") + b + "-image";
        const FaceRect crop = GetFace(key);
        const wxImage image = LoadImage(wxString("image/toolbar/") + b + "-normal.png");
        for (int y = 0; y < image.GetHeight(); ++y)
            for (int x = crop.x; x < image.GetWidth(); ++x)
                ASSERT_EQ(image.GetAlpha(x, y), 0) << b << " has paint under its label at " << x << "," << y;
    }
}

}  // namespace
