// The preview and the page-range panel through the real main frame: rows
// clicked with the pointer, pages rendered by the real engine from generated
// PDFs, ranges applied to the selected rows.
#include "work_area_fixture.h"

#include <wx/button.h>
#include <wx/textctrl.h>

#include "pdf/preview_renderer.h"
#include "window/base/gtk/tav_static_text.h"
#include "window/base/tav_bitmap_button.h"
#include "window/mox_page_range_window.h"
#include "window/preview_window.h"

namespace {

using namespace workarea;
using guitest::PumpUntil;

// A page of the given size in points with a dark frame inset from its edges,
// so the page reads as a page on screen.
std::string PagePdf(double width, double height, int pages = 1)
{
    fixtures::PdfWriter writer;
    for (int p = 0; p < pages; ++p)
        writer.AddPage("<< >>", "0.2 0.3 0.4 RG 6 w 20 20 " + std::to_string(width - 40) + " " +
                                    std::to_string(height - 40) + " re S\n",
                       width, height);
    return writer.Build();
}

class PreviewAndRanges : public WorkArea {
protected:
    void SetUp() override
    {
        WorkArea::SetUp();
        preview_ = frame_->GetPreviewWindow();
        range_ = frame_->GetPageRangeWindow();
        ASSERT_NE(preview_, nullptr);
        ASSERT_NE(range_, nullptr);
        preview_->Attach(&pages_);
    }
    void TearDown() override
    {
        preview_->Detach(&pages_);
        WorkArea::TearDown();
    }
    wxString WriteRaw(const wxString& name, const std::string& bytes)
    {
        const wxString path = src_ + "/" + name;
        fixtures::WriteFile(fs::path(path.utf8_string()), bytes);
        return path;
    }
    void TypePage(const wxString& text)
    {
        preview_->GetPageBox()->SetFocus();
        preview_->GetPageBox()->SelectAll();
        ASSERT_TRUE(guitest::SyncEvents());
        sim_.Text(text.utf8_str());
        sim_.Char(WXK_RETURN);
        ASSERT_TRUE(guitest::SyncEvents());
        Settle();
    }
    // Waits until the newest page asked for has arrived (or failed) and the
    // screen shows it: the window paints an answer at its next frame.
    void Settle()
    {
        ASSERT_TRUE(PumpUntil([&] { return !preview_->IsDrawing(); }, 20000));
        guitest::PaintCounter paints(preview_);
        preview_->Refresh();
        ASSERT_TRUE(PumpUntil([&] { return paints.Count() > 0; }, guitest::kGuardMs));
        ASSERT_TRUE(guitest::SyncEvents());
    }
    void ShowRow(int row)
    {
        ClickRow(row);
        Settle();
    }
    wxString Box() const { return preview_->GetPageBox()->GetValue(); }
    wxString Count() const { return preview_->GetCountLabel()->GetLabel(); }
    // Pages the preview reported, in order.
    std::vector<int> Reported() const { return pages_.pages; }

    class PageRecorder : public KelObserver {
    public:
        void Update(KelSubject* subject, void* payload) override
        {
            if (subject->GetCode() == PreviewPageChanged)
                pages.push_back(*static_cast<int*>(payload));
        }
        std::vector<int> pages;
    };

    PreviewWindow* preview_ = nullptr;
    MoxPageRangeWindow* range_ = nullptr;
    PageRecorder pages_;
};

TEST_F(PreviewAndRanges, ClickedRowShowsItsPagesAndTheControlsWalkThem)
{
    AddThroughDialog(Paths({WriteRaw("five.pdf", PagePdf(612, 792, 5)), WriteRaw("two.pdf", PagePdf(612, 792, 2))}));
    ASSERT_EQ(list_->GetRowCount(), 2);
    EXPECT_FALSE(preview_->GetButton(PreviewWindow::NextPageId)->IsEnabled()) << "nothing shown yet";
    EXPECT_EQ(Count(), "/----");

    ShowRow(0);
    EXPECT_EQ(Count(), "/5");
    EXPECT_EQ(Box(), "1");
    ASSERT_NE(preview_->GetPageBitmap(), nullptr);
    EXPECT_EQ(preview_->GetRenderCount(), 1);
    ShowRow(0);
    EXPECT_EQ(preview_->GetRenderCount(), 1) << "the row shown is not rendered again";

    // Next by a real click, the rest through what the buttons run.
    const TavBitmapButton* next = preview_->GetButton(PreviewWindow::NextPageId);
    sim_.MouseMove(next->ClientToScreen(wxPoint(10, 10)));
    sim_.MouseClick();
    ASSERT_TRUE(guitest::SyncEvents());
    Settle();
    EXPECT_EQ(Box(), "2");
    preview_->GoLast();
    Settle();
    EXPECT_EQ(Box(), "5");
    preview_->GoNext();  // at the end: nothing
    Settle();
    EXPECT_EQ(Box(), "5");
    preview_->GoPrevious();
    Settle();
    EXPECT_EQ(Box(), "4");
    preview_->GoFirst();
    Settle();
    preview_->GoPrevious();  // at the start: nothing
    Settle();
    EXPECT_EQ(Box(), "1");
    EXPECT_EQ(Reported(), (std::vector<int>{1, 2, 5, 4, 1}));

    TypePage("3");
    EXPECT_EQ(Box(), "3");
    EXPECT_EQ(Reported().back(), 3);
    for (const char* refused : {"0", "6"}) {
        prompt_.messages.clear();
        TypePage(refused);
        EXPECT_EQ(prompt_.messages, std::vector<wxString>{"Invalid format or out of range!"}) << refused;
        EXPECT_EQ(Box(), "1") << refused;
        EXPECT_EQ(Reported().back(), 1) << "the refused page is never shown: " << refused;
    }
    preview_->GetPageBox()->ChangeValue("");
    preview_->GoNext();  // an empty box reads as 0
    Settle();
    EXPECT_EQ(Box(), "1");

    ShowRow(1);
    EXPECT_EQ(Count(), "/2");
    EXPECT_EQ(Box(), "1");
}

TEST_F(PreviewAndRanges, PagesKeepTheirProportions)
{
    AddThroughDialog(Paths({WriteRaw("portrait.pdf", PagePdf(612, 792)), WriteRaw("landscape.pdf", PagePdf(842, 595))}));
    const FaceRect box = GetFace("/face/preview-window/preview");
    for (int row : {0, 1}) {
        SCOPED_TRACE(row == 0 ? "portrait" : "landscape");
        ShowRow(row);
        const wxRect page = preview_->GetPageRect();
        ASSERT_FALSE(page.IsEmpty());
        // Measured on screen: the non-desk pixels inside the page rectangle's area.
        ASSERT_TRUE(PumpUntil([&] { return guitest::ScreenPixel(preview_->ClientToScreen(page.GetPosition() + page.GetSize() / 2)) == *wxWHITE; }));
        const wxImage shot = guitest::GrabWindow(preview_);
        int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1;
        for (int y = box.y - 3; y < box.y + box.height + 3; ++y)
            for (int x = box.x - 3; x < box.x + box.width + 3; ++x) {
                const int r = shot.GetRed(x, y), g = shot.GetGreen(x, y), b = shot.GetBlue(x, y);
                if (std::abs(r - 243) + std::abs(g - 245) + std::abs(b - 248) <= 6)
                    continue;  // the desk
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
            }
        ASSERT_GE(right, left);
        const double drawn = static_cast<double>(right - left + 1 - 2) / (bottom - top + 1 - 2);  // without the edge
        const double expected = row == 0 ? 612.0 / 792.0 : 842.0 / 595.0;
        EXPECT_NEAR(drawn, expected, 0.03);
        EXPECT_TRUE(right - left + 1 - 2 == box.width || bottom - top + 1 - 2 == box.height)
            << "fills the box in one direction: " << right - left + 1 << " x " << bottom - top + 1;
        EXPECT_LE(right - left + 1 - 2, box.width);
        EXPECT_LE(bottom - top + 1 - 2, box.height);
    }
}

TEST_F(PreviewAndRanges, RemovingRowsEmptiesThePreviewOnlyForTheShownRow)
{
    for (const char* name : {"a.pdf", "b.pdf", "c.pdf"})
        WriteRaw(name, PagePdf(612, 792, 3));
    AddFolderThroughDialog(src_);
    ShowRow(2);
    ASSERT_EQ(preview_->GetCurrentRow(), 2);

    RuvGrid* grid = list_->GetGrid();
    grid->ClearSelection();
    grid->SelectRow(0);
    frame_->GetMoxToolBar()->Send(DeleteSelected);
    EXPECT_NE(preview_->GetPageBitmap(), nullptr) << "another row went";
    EXPECT_EQ(preview_->GetCurrentRow(), 1) << "the shown file moved up";
    const int renders = preview_->GetRenderCount();
    ShowRow(1);  // the same file: not rendered again
    EXPECT_EQ(preview_->GetRenderCount(), renders);

    grid->ClearSelection();
    grid->SelectRow(1);
    frame_->GetMoxToolBar()->Send(DeleteSelected);
    EXPECT_EQ(preview_->GetPageBitmap(), nullptr);
    EXPECT_EQ(Count(), "----");
    EXPECT_EQ(Box(), "1");
    EXPECT_FALSE(preview_->GetButton(PreviewWindow::FirstPageId)->IsEnabled());
    EXPECT_FALSE(range_->GetAllChoice()->IsEnabled());

    ShowRow(0);
    EXPECT_NE(preview_->GetPageBitmap(), nullptr);
    frame_->GetMoxToolBar()->Send(ClearAll);
    EXPECT_EQ(preview_->GetPageBitmap(), nullptr);
    EXPECT_EQ(Count(), "----");
}

TEST_F(PreviewAndRanges, DamagedFilesNeverTakeTheWindowDown)
{
    // Opens (the engine rebuilds what it can) but its pages are cut short.
    wxArrayString files = Paths({WriteRaw("truncated.pdf", fixtures::MakeTruncatedPdf().bytes)});
    for (const auto& [name, bytes] : fixtures::MakeEndlessPagePdfs())
        files.Add(WriteRaw("endless-" + name + ".pdf", bytes));
    files.Add(WriteRaw("good.pdf", PagePdf(612, 792)));
    AddThroughDialog(files);
    ASSERT_EQ(list_->GetRowCount(), static_cast<int>(files.size()));
    for (int row = 0; row < list_->GetRowCount(); ++row) {
        const wxString name = list_->GetCellText(row, COL_FILE_NAME);
        SCOPED_TRACE(name.utf8_string());
        // A short budget only for the pages that would never end: a page that
        // ends must be drawn whole however slow the build, or the good file's
        // picture checked below would be whatever 200 ms allowed.
        preview_->SetRenderBudget(name.StartsWith("endless-") ? std::chrono::milliseconds(200)
                                                              : kestran::pdf::kDefaultPreviewBudget);
        ShowRow(row);
        EXPECT_EQ(preview_->GetCurrentRow(), row);
        preview_->GoLast();
        Settle();
        preview_->GoFirst();
        Settle();
    }
    preview_->SetRenderBudget(kestran::pdf::kDefaultPreviewBudget);
    // The file vanishes after it was added: the page keeps its last picture.
    ShowRow(list_->GetRowCount() - 1);
    ASSERT_NE(preview_->GetPageBitmap(), nullptr);
    const wxBitmap* before = preview_->GetPageBitmap();
    ASSERT_TRUE(wxRemoveFile(src_ + "/good.pdf"));
    preview_->GoFirst();
    Settle();
    EXPECT_EQ(preview_->GetPageBitmap(), before);
}

TEST_F(PreviewAndRanges, SlowPageNeverHoldsTheWindowAndTheNewerClickWins)
{
    // A page that draws for the renderer's whole budget stands for a huge
    // scan, whose time depends on the machine (bench/window.sh preview).
    preview_->SetRenderBudget(std::chrono::milliseconds(4000));
    AddThroughDialog(Paths({WriteRaw("slow.pdf", fixtures::MakeEndlessPagePdfs("0 0 1").front().second),
                            WriteRaw("quick.pdf", PagePdf(612, 792, 2))}));
    ASSERT_EQ(list_->GetRowCount(), 2);
    ClickRow(0);
    ASSERT_TRUE(PumpUntil([&] { return preview_->GetCurrentRow() == 0; }));
    EXPECT_TRUE(preview_->IsDrawing());
    // The window answered while the slow page was drawn; the newer click cuts
    // that drawing short and its page is the one shown.
    ClickRow(1);
    ASSERT_TRUE(PumpUntil([&] { return preview_->GetCurrentRow() == 1; }));
    EXPECT_EQ(Count(), "/2");
    Settle();
    ASSERT_NE(preview_->GetPageBitmap(), nullptr);
    const wxRect page = preview_->GetPageRect();
    EXPECT_NEAR(static_cast<double>(page.width) / page.height, 612.0 / 792.0, 0.03) << "the quick page, not the slow one";
    EXPECT_TRUE(PumpUntil([&] { return guitest::ScreenPixel(preview_->ClientToScreen(page.GetPosition() + page.GetSize() / 2)) == *wxWHITE; }));
    EXPECT_EQ(Reported(), (std::vector<int>{1, 1}));
    preview_->SetRenderBudget(kestran::pdf::kDefaultPreviewBudget);
}

TEST_F(PreviewAndRanges, RangePanelSetsTheSelectedRows)
{
    AddThroughDialog(Paths({WriteRaw("twelve.pdf", PagePdf(612, 792, 12)), WriteRaw("three.pdf", PagePdf(612, 792, 3)),
                            WriteRaw("ten.pdf", PagePdf(612, 792, 10))}));
    EXPECT_FALSE(range_->GetAllChoice()->IsEnabled()) << "disabled until a row is clicked";
    ShowRow(0);
    EXPECT_TRUE(range_->GetAllChoice()->IsEnabled());
    EXPECT_FALSE(range_->GetRangeField()->IsEnabled()) << "only with Range chosen";
    RuvGrid* grid = list_->GetGrid();
    const auto pages = [&] { return Column(COL_SELECTED_PAGE); };

    // Current: the preview's page, only on rows that have it.
    preview_->ShowPage(7);
    EXPECT_EQ(range_->GetCurrentPage(), 7);
    grid->SelectAll();
    range_->PickCurrent();
    EXPECT_EQ(pages(), (std::vector<wxString>{"7", "1-3", "7"}));
    range_->PickAll();
    EXPECT_EQ(pages(), (std::vector<wxString>{"1-12", "1-3", "1-10"}));

    struct Case {
        const char* typed;
        std::vector<int> selected;
        std::vector<wxString> pages;
        std::vector<wxString> messages;
    };
    const wxString refused = "Invalid format or out of range!\nfor example: 1,3,4,5-10\n";
    const Case cases[] = {
        {"2-4", {1, 2}, {"1-12", "1-3", "2-4"}, {refused + "three.pdf"}},
        {" 5,6 and more", {0}, {"5,6", "1-3", "2-4"}, {}},
        {"", {0, 2}, {"5,6", "1-3", "2-4"}, {refused + "twelve.pdf\nten.pdf"}},  // one box names every row
        {"1;3", {0}, {"5,6", "1-3", "2-4"}, {refused + "twelve.pdf"}},
        {"1", {}, {"5,6", "1-3", "2-4"}, {"No selected file!"}},
    };
    range_->PickRange();
    EXPECT_TRUE(range_->GetRangeField()->IsEnabled());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        grid->ClearSelection();
        for (int row : c.selected)
            grid->SelectRow(row, true);
        prompt_.messages.clear();
        range_->GetRangeField()->ChangeValue(c.typed);
        range_->GetRangeField()->SetFocus();
        ASSERT_TRUE(guitest::SyncEvents());
        sim_.Char(WXK_RETURN);  // Enter confirms, as "Ok" does
        ASSERT_TRUE(guitest::SyncEvents());
        EXPECT_EQ(pages(), c.pages);
        EXPECT_EQ(prompt_.messages, c.messages);
    }

    // A job locks the panel, its end unlocks it.
    grid->ClearSelection();
    output_->Send(StartAll);
    EXPECT_FALSE(range_->GetAllChoice()->IsEnabled());
    EXPECT_FALSE(range_->GetRangeField()->IsEnabled());
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(range_->GetAllChoice()->IsEnabled());
    EXPECT_TRUE(range_->GetRangeField()->IsEnabled());
}

}  // namespace
