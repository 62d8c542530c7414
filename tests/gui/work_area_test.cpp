// The work area end to end: adding, jobs, the list's own commands, the output
// strip and the empty list's guide, through the real main frame.
#include "work_area_fixture.h"

#include <wx/dnd.h>
#include <wx/textctrl.h>

#include "window/main_app.h"

namespace {

using namespace workarea;
using guitest::PumpUntil;

// ---------------------------------------------------------------------------
// Adding

TEST_F(WorkArea, AddedFilesBecomeRowsAndUnusableOnesAreReported)
{
    const wxString good = WritePdf("report.pdf", fixtures::MakeMultiPagePdf(3));
    const wxString broken = src_ + "/broken.pdf";
    ASSERT_TRUE(TempHome::WriteFile(broken, "%PDF-1.4 this is not a PDF at all"));
    const wxString empty = src_ + "/empty.pdf";
    ASSERT_TRUE(TempHome::WriteFile(empty, ""));
    const wxString picture = src_ + "/photo.png";
    ASSERT_TRUE(TempHome::WriteFile(picture, "png"));
    const wxString locked = WritePdf("locked.pdf", fixtures::MakeEncryptedPdf("secret"));
    const wxString text = src_ + "/text.pdf";
    ASSERT_TRUE(TempHome::WriteFile(text, "just words"));

    AddThroughDialog(Paths({good, broken, empty, picture, locked, text, good}));

    EXPECT_EQ(prompt_.last_wildcard, "PDF files(*.pdf)|*.[pP][dD][fF]|All files(*)|*");
    // One box for the whole add, each refused file with its reason.
    EXPECT_EQ(prompt_.messages, std::vector<wxString>{"These files were not added:\n"
                                                      "photo.png: not a PDF\n"
                                                      "broken.pdf: damaged beyond repair\n"
                                                      "empty.pdf: the file is empty\n"
                                                      "locked.pdf: needs a password\n"
                                                      "text.pdf: not a PDF\n\n"
                                                      "Already in the list, not added again: 1"});
    ASSERT_EQ(list_->GetRowCount(), 1);
    EXPECT_TRUE(list_->GetGrid()->IsShown());
    const wxString expected[] = {"report.pdf", FileUtil::FormatSize(wxFileName::GetSize(good).GetValue()), "3", "0",
                                 "1-3", " ", good, src_, ""};
    for (int column = 0; column < COL_COUNT; ++column)
        EXPECT_EQ(list_->GetCellText(0, column), expected[column]) << "column " << column;
    EXPECT_EQ(list_->GetStatusText(0), "Not Converted");
    // The toolbar and Start are usable again once the rows are in.
    EXPECT_TRUE(frame_->GetMoxToolBar()->GetButton(MoxToolBar::AddFileId)->IsEnabled());
    EXPECT_TRUE(output_->GetStartButton()->IsEnabled());
    EXPECT_EQ(ConvertOptions[LAST_CONVERT_DIR], src_) << "the folder of the added files is remembered";

    prompt_.messages.clear();
    AddThroughDialog(Paths({good}));
    EXPECT_EQ(prompt_.messages, std::vector<wxString>{"Already in the list, not added again: 1"});
    EXPECT_EQ(list_->GetRowCount(), 1);
}

TEST_F(WorkArea, AddingAFolderTakesItsPdfFilesAndSaysWhenThereAreNone)
{
    const wxString empty_folder = dir_.Path() + "/nothing";
    ASSERT_TRUE(wxFileName::Mkdir(empty_folder));
    ASSERT_TRUE(TempHome::WriteFile(empty_folder + "/readme.txt", "text"));
    AddFolderThroughDialog(empty_folder);
    EXPECT_EQ(prompt_.messages, std::vector<wxString>{"No PDF files(*.pdf) Added !"});
    EXPECT_EQ(list_->GetRowCount(), 0);
    EXPECT_FALSE(list_->GetGrid()->IsShown()) << "the guide stays";

    for (const char* name : {"c.pdf", "a.PDF", "b.pdf"})
        WritePdf(name, fixtures::MakeMultiPagePdf(2));
    AddFolderThroughDialog(src_);
    EXPECT_EQ(Column(COL_FILE_NAME), (std::vector<wxString>{"a.PDF", "b.pdf", "c.pdf"})) << "in name order";
    EXPECT_EQ(prompt_.folder_messages, (std::vector<wxString>{"Select a folder", "Select a folder"}));
}

TEST_F(WorkArea, DroppedFoldersAndFiles)
{
    const wxString pdf = WritePdf("dropped.pdf", fixtures::MakeMultiPagePdf(1));
    const wxString no_pdf = dir_.Path() + "/no-pdf";
    ASSERT_TRUE(wxFileName::Mkdir(no_pdf));
    const wxString text = src_ + "/notes.txt", image = src_ + "/scan.tiff";
    ASSERT_TRUE(TempHome::WriteFile(text, "x") && TempHome::WriteFile(image, "x"));

    struct Case {
        const char* what;
        wxArrayString names;
        bool started;
        std::vector<wxString> messages;
        int rows;
    };
    const Case cases[] = {
        {"a folder without PDF and a PDF", Paths({no_pdf, pdf}), true, {}, 1},
        {"only unsupported files", Paths({text, image}), false,
         {"These files were not added:\nnotes.txt: not a PDF\nscan.tiff: not a PDF"}, 1},
        {"only a folder without PDF", Paths({no_pdf}), false, {"No PDF files(*.pdf) Files Added !"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        prompt_.messages.clear();
        wxFileDropTarget* target = dynamic_cast<wxFileDropTarget*>(list_->GetGrid()->GetGridWindow()->GetDropTarget());
        ASSERT_NE(target, nullptr);
        // From the guide onto the grid: GTK may tell the entry before the exit.
        list_->DragCrossed(true);
        target->OnEnter(10, 10, wxDragCopy);
        list_->DragCrossed(false);
        EXPECT_TRUE(list_->IsDropHighlighted());
        EXPECT_EQ(target->OnDropFiles(10, 10, c.names), c.started);
        EXPECT_FALSE(list_->IsDropHighlighted());
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(prompt_.messages, c.messages);
        EXPECT_EQ(list_->GetRowCount(), c.rows);
    }
}

// Files from the command line or a second start load as a drop does, and
// those that come while a job runs are added when it ends, not lost.
TEST_F(WorkArea, FilesFromTheCommandLineLoadAsDroppedAndWaitForARunningJob)
{
    auto* app = static_cast<MainApp*>(wxTheApp);
    const wxString slow = WritePdf("slow.pdf", fixtures::MakeManyImagesPdf(600, 96));
    const wxString later = WritePdf("later.pdf", fixtures::MakeMultiPagePdf(1));
    const wxString text = src_ + "/notes.txt";
    ASSERT_TRUE(TempHome::WriteFile(text, "x"));

    app->OpenPathsLater(Paths({slow, text}));
    ASSERT_TRUE(PumpUntil([&] { return list_->GetRowCount() == 1 && !list_->IsLoading(); }, 30000));
    EXPECT_EQ(prompt_.messages, (std::vector<wxString>{"These files were not added:\nnotes.txt: not a PDF"}));

    output_->Send(StartAll);
    ASSERT_TRUE(list_->IsConverting());
    app->OpenPathsLater(Paths({later}));
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(PumpUntil([&] { return list_->GetRowCount() == 2 && !list_->IsLoading(); }, 30000));
    EXPECT_EQ(Statuses(), (std::vector<wxString>{"100%", "Not Converted"})) << "added after the job";
}

TEST_F(WorkArea, BackslashIsAnOrdinaryCharacterFromAddingToTheLog)
{
    const wxString folder = dir_.Path() + "/a\\b";
    ASSERT_TRUE(wxFileName::Mkdir(folder));
    const wxString pdf = WritePdf("x.pdf", fixtures::MakeJpegPdf(fixtures::JpegKind::Rgb), folder);
    AddFolderThroughDialog(folder);
    ASSERT_EQ(list_->GetRowCount(), 1);
    EXPECT_EQ(list_->GetCellText(0, COL_SOURCE_PATH), pdf);
    EXPECT_EQ(list_->GetCellText(0, COL_SOURCE_DIR), folder);

    output_->PickSourceFolder();
    StartAndWait();
    EXPECT_EQ(list_->GetStatusText(0), "100%");
    const std::vector<std::string> files = FilesIn(folder);
    EXPECT_EQ(std::count_if(files.begin(), files.end(), [](const std::string& f) { return f.rfind("x-", 0) == 0; }), 1);
    const std::string log = TempHome::ReadFile(FileUtil::GetLogFilePath());
    EXPECT_NE(log.find((pdf + " [" + folder + "] [0]").utf8_string()), std::string::npos) << log;
}

// ---------------------------------------------------------------------------
// Jobs

class JobDestinations : public WorkArea, public ::testing::WithParamInterface<bool> {};

TEST_P(JobDestinations, EveryRowEndsAtHundredWithItsImagesOnDisk)
{
    const bool in_source = GetParam();
    const wxString second = dir_.Path() + "/second";
    ASSERT_TRUE(wxFileName::Mkdir(second));
    const wxString a = WritePdf("a.pdf", fixtures::MakeJpegPdf(fixtures::JpegKind::Rgb));
    const fixtures::FixturePdf logo = fixtures::MakeLogoPdf(3);
    const wxString b = WritePdf("b.pdf", logo, second);
    AddThroughDialog(Paths({a, b}));
    ASSERT_EQ(list_->GetRowCount(), 2);
    if (in_source)
        output_->PickSourceFolder();

    Recorder recorder;
    list_->Attach(&recorder);
    StartAndWait();
    list_->Detach(&recorder);

    EXPECT_EQ(Statuses(), (std::vector<wxString>{"100%", "100%"}));
    EXPECT_EQ(list_->GetStatusPercent(1), 100);
    EXPECT_EQ(list_->GetStatusColour(1), kAmber);
    EXPECT_EQ(recorder.codes, (std::vector<int>{ShowStop, LockOptions, ShowStart, UnlockOptions}));
    const auto images = [this](const wxString& folder, const char* stem) {
        const std::vector<std::string> files = FilesIn(folder);
        return std::count_if(files.begin(), files.end(), [&](const std::string& f) { return f.rfind(stem, 0) == 0; });
    };
    EXPECT_EQ(images(in_source ? src_ : out_, "a-"), 1);
    EXPECT_EQ(images(in_source ? second : out_, "b-"), static_cast<long>(logo.images.size()));
    EXPECT_EQ(images(in_source ? out_ : src_, ""), in_source ? 0 : 1) << "nothing else is written";

    const std::string log = TempHome::ReadFile(FileUtil::GetLogFilePath());
    const size_t begin = log.rfind("Begin [] [0]");
    const size_t first = log.find((a + " [" + (in_source ? src_ : out_) + "] [0]").utf8_string(), begin);
    const size_t finish = log.find("Finish [] [0]", begin);
    EXPECT_TRUE(begin != std::string::npos && first != std::string::npos && finish != std::string::npos &&
                begin < first && first < finish)
        << log;
    // Unlocked: the pieces work again.
    EXPECT_TRUE(output_->GetStartButton()->IsShown());
    EXPECT_TRUE(output_->GetCustomFolderChoice()->IsEnabled());
    EXPECT_TRUE(list_->IsDropEnabled());
}

INSTANTIATE_TEST_SUITE_P(ToChosenFolderOrSourceFolders, JobDestinations, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "SourceFolders" : "ChosenFolder"; });

TEST_F(WorkArea, StatusCellPaintsAnAmberBarOfThePercentsWidth)
{
    AddThroughDialog(Paths({WritePdf("a.pdf", fixtures::MakeMultiPagePdf(1))}));
    ASSERT_EQ(list_->GetRowCount(), 1);
    // What the job's worker queues while it runs.
    PostConvertStatus(list_, list_->GetId(), 0, COL_STATUS, StatusPercent, 40);
    ASSERT_TRUE(PumpUntil([&] { return list_->GetStatusText(0) == "40%"; }));
    const wxRect cell = CellOnScreen(0, COL_STATUS);
    const int bar = cell.width * 40 / 100;
    EXPECT_TRUE(guitest::ShowsColour(frame_, frame_->ScreenToClient(cell.GetPosition() + wxPoint(bar - 3, 3)), kAmber));
    EXPECT_TRUE(
        guitest::ShowsColour(frame_, frame_->ScreenToClient(cell.GetPosition() + wxPoint(bar + 4, 3)), *wxWHITE, 8));

    PostConvertStatus(list_, list_->GetId(), 0, COL_STATUS, StatusFailed, 0, "why");
    ASSERT_TRUE(PumpUntil([&] { return list_->GetStatusText(0) == "Failed"; }));
    EXPECT_EQ(list_->GetStatusPercent(0), 0) << "no bar behind the word";
    EXPECT_TRUE(guitest::ShowsColour(frame_, frame_->ScreenToClient(cell.GetPosition() + wxPoint(bar - 3, 3)), *wxWHITE, 8));
    EXPECT_EQ(list_->GetCellToolTip(0, COL_STATUS), "Failed: why");
}

TEST_F(WorkArea, StopEndsTheRunningRowAndLeavesTheOthers)
{
    // Enough images that the first file is still running when Stop arrives.
    const wxString slow = WritePdf("slow.pdf", fixtures::MakeManyImagesPdf(1500, 96));
    const wxString next = WritePdf("next.pdf", fixtures::MakeMultiPagePdf(1));
    AddThroughDialog(Paths({slow, next}));
    ASSERT_EQ(list_->GetRowCount(), 2);

    output_->Send(StartAll);
    ASSERT_TRUE(PumpUntil([&] { return list_->GetStatusPercent(0) > 0; }, 30000));
    EXPECT_FALSE(output_->GetStartButton()->IsShown());
    EXPECT_FALSE(output_->GetBrowseButton()->IsEnabled()) << "locked while running";
    EXPECT_FALSE(list_->IsDropEnabled());
    const wxPoint stop = output_->GetStopButton()->GetPosition();
    Click(output_, stop + wxPoint(20, 20));
    EXPECT_FALSE(output_->GetStopButton()->IsEnabled()) << "disabled at once";
    ASSERT_TRUE(WaitIdle());
    // The row the job never reached waits with an empty status: it holds no result of this job.
    EXPECT_EQ(Statuses(), (std::vector<wxString>{"Stop", ""}));
    EXPECT_EQ(list_->GetStatusReason(0), "interrupted");
    ASSERT_NE(list_->GetJobSummary(), nullptr) << "a stopped job sums up";
    EXPECT_NE(list_->GetJobSummary()->GetText().Find("Not started after Stop: 1"), wxNOT_FOUND);
    EXPECT_NE(list_->GetJobSummary()->GetText().Find("slow.pdf: Stop: interrupted"), wxNOT_FOUND);
    const std::string log = TempHome::ReadFile(FileUtil::GetLogFilePath());
    EXPECT_NE(log.find((slow + " [" + out_ + "]").utf8_string()), std::string::npos);
    EXPECT_EQ(log.find(next.utf8_string()), std::string::npos) << "the next file never started";

    // Unlocked, and a second job runs to the end.
    EXPECT_TRUE(output_->GetStartButton()->IsShown());
    EXPECT_TRUE(output_->GetStartButton()->IsEnabled());
    EXPECT_TRUE(output_->GetBrowseButton()->IsEnabled());
    list_->GetGrid()->SelectRow(1);
    wxCommandEvent convert_selected(wxEVT_MENU, SelectWindow::MenuConvertSelected);
    list_->GetEventHandler()->ProcessEvent(convert_selected);
    EXPECT_EQ(list_->GetJobSummary(), nullptr) << "the next job closes the summary";
    EXPECT_EQ(Statuses(), (std::vector<wxString>{"Stop", ""})) << "the row outside the job keeps its status";
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Statuses(), (std::vector<wxString>{"Stop", "100%"}));
    EXPECT_EQ(list_->GetJobSummary(), nullptr) << "nothing to sum up when every file went through";
}

TEST_F(WorkArea, ASecondJobShowsNoResultOfTheFirst)
{
    AddThroughDialog(Paths({WritePdf("a.pdf", fixtures::MakeMultiPagePdf(2)), WritePdf("b.pdf", fixtures::MakeMultiPagePdf(1))}));
    StartAndWait();
    ASSERT_EQ(Statuses(), (std::vector<wxString>{"100%", "100%"}));
    output_->Send(StartAll);
    // Before the first file runs, every row of the new job waits.
    EXPECT_EQ(Statuses(), (std::vector<wxString>{"", ""}));
    EXPECT_EQ(list_->GetStatusPercent(0), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Statuses(), (std::vector<wxString>{"100%", "100%"}));
}

TEST_F(WorkArea, AFailedFileSaysWhyInItsCellTheLogAndTheSummary)
{
    const wxString gone = WritePdf("gone.pdf", fixtures::MakeMultiPagePdf(1));
    const wxString kept = WritePdf("kept.pdf", fixtures::MakeJpegPdf(fixtures::JpegKind::Rgb));
    AddThroughDialog(Paths({gone, kept}));
    ASSERT_TRUE(wxRemoveFile(gone));
    StartAndWait();

    EXPECT_EQ(Statuses(), (std::vector<wxString>{"Failed", "100%"}));
    const wxString reason = "cannot be read: No such file or directory";
    EXPECT_EQ(list_->GetStatusReason(0), reason);
    EXPECT_EQ(list_->GetCellToolTip(0, COL_STATUS), "Failed: " + reason);
    EXPECT_EQ(list_->GetCellToolTip(1, COL_STATUS), "");
    EXPECT_EQ(list_->GetCellToolTip(1, COL_FILE_NAME), kept) << "a name shows its full path";
    const std::string log = TempHome::ReadFile(FileUtil::GetLogFilePath());
    EXPECT_NE(log.find((gone + " [" + out_ + "] [1] " + reason).utf8_string()), std::string::npos) << log;

    JobSummaryDialog* summary = list_->GetJobSummary();
    ASSERT_NE(summary, nullptr);
    EXPECT_TRUE(summary->IsShown());
    EXPECT_FALSE(summary->IsModal()) << "the window stays usable";
    EXPECT_EQ(summary->GetFolder(), out_);
    const wxString text = summary->GetText();
    EXPECT_NE(text.Find("Files done: 1 of 2"), wxNOT_FOUND) << text;
    EXPECT_NE(text.Find("Images written: 1"), wxNOT_FOUND) << text;
    EXPECT_NE(text.Find("gone.pdf: Failed: " + reason), wxNOT_FOUND) << text;
}

// Each row's output type and the job's filters reach the engine; a second
// job into the same folder writes nothing again and says so.
TEST_F(WorkArea, EachRowsOutputTypeReachesTheEngineAndARerunWritesNothingAgain)
{
    const fixtures::FixturePdf jpeg = fixtures::MakeJpegPdf(fixtures::JpegKind::Rgb);
    AddThroughDialog(Paths({WritePdf("a-original.pdf", jpeg), WritePdf("b-png.pdf", jpeg),
                            WritePdf("c-gone.pdf", jpeg)}));
    list_->SetCellText(1, COL_OUTPUT_TYPE, "1");
    ConvertOptions[WRITE_MANIFEST] = "1";
    StartAndWait();
    EXPECT_EQ(Statuses(), (std::vector<wxString>{"100%", "100%", "100%"}));
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(out_.utf8_string()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"a-original-001-01.jpg", "a-original-images.csv", "b-png-001-01.png",
                                            "b-png-images.csv", "c-gone-001-01.jpg", "c-gone-images.csv"}));
    const std::string rows = TempHome::ReadFile(out_ + "/b-png-images.csv");
    EXPECT_NE(rows.find(",written,,b-png-001-01.png,"), std::string::npos) << rows;

    // Again, with one file gone so that the summary shows.
    ConvertOptions[WRITE_MANIFEST] = "0";
    ASSERT_TRUE(wxRemoveFile(src_ + "/c-gone.pdf"));
    StartAndWait();
    EXPECT_EQ(Statuses(), (std::vector<wxString>{"100%", "100%", "Failed"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(out_.utf8_string()), fs::directory_iterator()), 6);
    JobSummaryDialog* summary = list_->GetJobSummary();
    ASSERT_NE(summary, nullptr);
    EXPECT_NE(summary->GetText().Find("Images written: 0\nImages already in the folder: 2"), wxNOT_FOUND)
        << summary->GetText();
}

// The folder field takes typed folders; Start checks them, and creates a
// missing one only when the user agrees.
TEST_F(WorkArea, StartChecksTheTypedOutputFolder)
{
    AddThroughDialog(Paths({WritePdf("a.pdf", fixtures::MakeMultiPagePdf(1))}));
    const wxString gone = dir_.Path() + "/gone/deeper";
    const wxString file = dir_.Path() + "/a-file";
    ASSERT_TRUE(TempHome::WriteFile(file, "x"));
    struct Case {
        const char* what;
        wxString typed;
        std::deque<bool> answers;
        std::vector<wxString> messages;
        bool started;
    };
    const Case cases[] = {
        {"empty", "  ", {}, {"Select an output folder."}, false},
        {"missing, not created", gone, {false}, {"The folder \"" + gone + "\" does not exist. Create it?"}, false},
        {"under a file", file + "/sub", {true},
         {"The folder \"" + file + "/sub\" does not exist. Create it?",
          "The folder is unwritable, please choose another one!"}, false},
        {"missing, created", gone, {true}, {"The folder \"" + gone + "\" does not exist. Create it?"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        prompt_.messages.clear();
        prompt_.confirm_answers = c.answers;
        auto* field = dynamic_cast<wxTextCtrl*>(output_->FindWindow(OutputWindow::FolderFieldId));
        ASSERT_NE(field, nullptr);
        field->SetValue(c.typed);  // as typing does: the text event sets the folder
        output_->Send(StartAll);
        EXPECT_EQ(prompt_.messages, c.messages);
        EXPECT_EQ(list_->IsConverting(), c.started);
        if (!c.started) {
            EXPECT_EQ(list_->GetStatusText(0), "Not Converted");
        }
    }
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(wxDirExists(gone));
    EXPECT_EQ(list_->GetStatusText(0), "100%");
}

TEST_F(WorkArea, MergedNameIsAskedWhenMergingAndRefusesBlanks)
{
    AddThroughDialog(Paths({WritePdf("a.pdf", fixtures::MakeMultiPagePdf(1))}));
    output_->PickSourceFolder();
    ConvertOptions[MERGE_INTO_ONE] = "1";  // the merge box is hidden in this product
    prompt_.texts = {wxString("   "), std::nullopt};
    output_->Send(StartAll);
    EXPECT_EQ(prompt_.text_initials, (std::vector<wxString>{"a", "a"}));
    EXPECT_EQ(prompt_.messages, std::vector<wxString>{"Invalid file name!"});
    EXPECT_FALSE(list_->IsConverting()) << "cancelled: nothing starts";
    EXPECT_TRUE(output_->GetCustomFolderChoice()->GetValue()) << "the custom folder was forced first";
    EXPECT_EQ(ConvertOptions[SAVE_IN_SOURCE_DIR], "0");

    prompt_.texts = {wxString(" all/ima*ges ")};
    StartAndWait();
    EXPECT_EQ(ConvertOptions[MERGED_FILE_NAME], "allimages ") << "refused characters never arrive";
    EXPECT_EQ(list_->GetStatusText(0), "100%");
}

TEST_F(WorkArea, ClosingDuringAJobLeavesNoPartialImage)
{
    // Ending the process cannot be undone, so the close happens in a child
    // process that runs this test again; the parent names the folders.
    const char* kFolders = "KESTRAN_TEST_CLOSE_FOLDERS";
    if (std::getenv(kFolders) == nullptr) {
        // Written as a PNG row by row: its temporary file lives a while.
        const fixtures::FixturePdf big = fixtures::MakeFlatePdf(fixtures::FlateKind::Rgb, 2400, 1800);
        for (const char* name : {"/large1.pdf", "/large2.pdf", "/large3.pdf"})
            fixtures::WriteFile(fs::path((src_ + name).utf8_string()), big.bytes);
        setenv(kFolders, (src_ + "|" + out_).utf8_str(), 1);
    }
    const wxString folders = wxString::FromUTF8(std::getenv(kFolders));
    const wxString src = folders.BeforeFirst('|'), out = folders.AfterFirst('|');
    const auto has_part_file = [&] {
        const std::vector<std::string> files = FilesIn(out);
        return std::any_of(files.begin(), files.end(), [](const std::string& f) { return f.rfind(".kestran-part-", 0) == 0; });
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ConvertOptions[LAST_OUTPUT_DIR] = out;
            // Three rows give the child three chances to catch an image being written.
            AddThroughDialog(Paths({src + "/large1.pdf", src + "/large2.pdf", src + "/large3.pdf"}));
            output_->Send(StartAll);
            if (!PumpUntil(has_part_file, 60000))
                std::_Exit(3);
            frame_->really_end = true;
            frame_->Close(true);
            std::_Exit(4);  // the close did not end the process
        },
        ::testing::ExitedWithCode(0), "");
    unsetenv(kFolders);
    EXPECT_FALSE(has_part_file()) << "the unfinished image was removed";
}

// Closing deletes the windows while a load or a job still runs on its worker:
// what the worker sends afterwards must reach no freed window (the sanitizer
// build of this binary sees any access), and the worker must end by itself.
TEST_F(WorkArea, ClosingDuringALoadLeavesTheWorkerNoWindow)
{
    // A damaged file MuPDF scans whole to repair: counting its pages many
    // times keeps the worker busy well after the window has gone.
    const wxString junk = src_ + "/junk.pdf";
    ASSERT_TRUE(TempHome::WriteFile(junk, "%PDF-1.4\n" + std::string(size_t(24) << 20, ' ')));
    wxString add_list;
    for (int i = 0; i < 16; ++i)
        add_list += junk + "|";
    ASSERT_TRUE(list_->StartLoading(add_list));
    bool outlived = false;
    ASSERT_TRUE(CloseAndOutlive(&outlived));
    EXPECT_TRUE(outlived) << "the load ended before the window went: nothing was checked";
}

TEST_F(WorkArea, ClosingDuringAJobLeavesTheWorkerNoWindow)
{
    // A close during a job also stops every later image file of the process
    // for good, so it runs in a child process.
    const char* kFolders = "KESTRAN_TEST_CLOSE_JOB_FOLDERS";
    if (std::getenv(kFolders) == nullptr) {
        WritePdf("slow.pdf", fixtures::MakeManyImagesPdf(1500, 96));
        WritePdf("next.pdf", fixtures::MakeMultiPagePdf(2));
        setenv(kFolders, (src_ + "|" + out_).utf8_str(), 1);
    }
    const wxString folders = wxString::FromUTF8(std::getenv(kFolders));
    const wxString src = folders.BeforeFirst('|'), out = folders.AfterFirst('|');
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ConvertOptions[LAST_OUTPUT_DIR] = out;
            AddThroughDialog(Paths({src + "/slow.pdf", src + "/next.pdf"}));
            output_->Send(StartAll);
            if (!PumpUntil([&] { return list_->GetStatusPercent(0) > 0; }, 60000))
                std::_Exit(3);
            bool outlived = false;
            if (!CloseAndOutlive(&outlived))
                std::_Exit(4);
            std::_Exit(outlived ? 0 : 5);
        },
        // A stopped job winds down within milliseconds, so now and then it
        // ends before the window has gone (5): nothing was touched either
        // way; the load test above always checks a worker that outlives.
        [](int status) { return WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 5); }, "");
    unsetenv(kFolders);
}

// ---------------------------------------------------------------------------
// The list's own commands

TEST_F(WorkArea, DeleteAndClearAll)
{
    for (const char* name : {"a.pdf", "b.pdf", "c.pdf", "d.pdf"})
        WritePdf(name, fixtures::MakeMultiPagePdf(1));
    AddFolderThroughDialog(src_);
    ASSERT_EQ(list_->GetRowCount(), 4);
    Recorder recorder;
    list_->Attach(&recorder);

    frame_->GetMoxToolBar()->Send(DeleteSelected);  // nothing selected
    EXPECT_EQ(LastMessage(), "Delete failed! No selected file!");
    EXPECT_EQ(prompt_.confirms, 0);

    RuvGrid* grid = list_->GetGrid();
    grid->SelectRow(1);
    grid->SelectRow(3, true);
    prompt_.confirm_answers = {false};
    frame_->GetMoxToolBar()->Send(DeleteSelected);
    EXPECT_EQ(LastMessage(), "Are you sure you want to remove the selected items from the list?");
    EXPECT_EQ(list_->GetRowCount(), 4) << "Cancel keeps the rows";

    frame_->GetMoxToolBar()->Send(DeleteSelected);
    EXPECT_EQ(Column(COL_FILE_NAME), (std::vector<wxString>{"a.pdf", "c.pdf"}));
    EXPECT_EQ(recorder.removed, (std::vector<int>{3, 1})) << "one notice per row, highest first";

    prompt_.confirm_answers = {false};
    frame_->GetMoxToolBar()->Send(ClearAll);
    EXPECT_EQ(list_->GetRowCount(), 2);
    frame_->GetMoxToolBar()->Send(ClearAll);
    EXPECT_EQ(LastMessage(), "Are you sure you want to clear all the items from the list?");
    EXPECT_EQ(list_->GetRowCount(), 0);
    EXPECT_FALSE(grid->IsShown()) << "the guide shows again";
    EXPECT_EQ(recorder.removed.back(), -1);

    const int asked = prompt_.confirms;
    frame_->GetMoxToolBar()->Send(ClearAll);
    EXPECT_EQ(prompt_.confirms, asked) << "an empty list asks nothing";
    list_->Detach(&recorder);
}

TEST_F(WorkArea, KeysAndSelection)
{
    for (const char* name : {"a.pdf", "b.pdf", "c.pdf"})
        WritePdf(name, fixtures::MakeMultiPagePdf(1));
    AddFolderThroughDialog(src_);
    RuvGrid* grid = list_->GetGrid();
    ClickRow(0);
    EXPECT_EQ(list_->GetSelectedRows(), wxArrayInt(1, 0));

    struct KeyCase {
        const char* what;
        int key;
        int modifiers;
        std::vector<int> selected;
        int rows;
        int confirms;
    };
    const KeyCase keys[] = {
        {"arrow down moves to the next row", WXK_DOWN, wxMOD_NONE, {1}, 3, 0},
        {"letters do not start editing", 'x', wxMOD_NONE, {1}, 3, 0},
        {"Ctrl+A selects every row", 'A', wxMOD_CONTROL, {0, 1, 2}, 3, 0},
        {"Delete asks, Cancel keeps", WXK_DELETE, wxMOD_NONE, {0, 1, 2}, 3, 1},
        {"Backspace deletes too", WXK_BACK, wxMOD_NONE, {}, 0, 2},
    };
    prompt_.confirm_answers = {false, true};
    for (const KeyCase& k : keys) {
        SCOPED_TRACE(k.what);
        grid->GetGridWindow()->SetFocus();
        ASSERT_TRUE(guitest::SyncEvents());
        const int cursor = grid->GetGridCursorRow();
        sim_.Char(k.key, k.modifiers);
        ASSERT_TRUE(guitest::SyncEvents());
        EXPECT_FALSE(grid->IsCellEditControlShown());
        if (k.rows > 0 && k.key != WXK_DOWN) {
            EXPECT_EQ(grid->GetGridCursorRow(), cursor) << "the cursor stays";
        }
        const wxArrayInt selected = list_->GetSelectedRows();
        EXPECT_EQ(std::vector<int>(selected.begin(), selected.end()), k.selected);
        EXPECT_EQ(list_->GetRowCount(), k.rows);
        EXPECT_EQ(prompt_.confirms, k.confirms);
    }
}

TEST_F(WorkArea, InvertSelectAllAndTheContextMenu)
{
    for (const char* name : {"a.pdf", "b.pdf", "c.pdf"})
        WritePdf(name, fixtures::MakeMultiPagePdf(1));
    AddFolderThroughDialog(src_);
    RuvGrid* grid = list_->GetGrid();
    const auto selected = [&] {
        const wxArrayInt rows = list_->GetSelectedRows();
        return std::vector<int>(rows.begin(), rows.end());
    };
    // What the menu strip sends.
    KelSubject menu;
    menu.Attach(list_);
    menu.Send(SelectInvert);
    EXPECT_EQ(selected(), (std::vector<int>{0, 1, 2})) << "nothing selected: all";
    grid->ClearSelection();
    grid->SelectRow(1);
    menu.Send(SelectInvert);
    EXPECT_EQ(selected(), (std::vector<int>{0, 2}));
    grid->ClearSelection();
    menu.Send(SelectAll);
    EXPECT_EQ(selected(), (std::vector<int>{0, 1, 2}));

    // The context menu's commands run the same flows.
    const auto command = [&](int id) {
        wxCommandEvent event(wxEVT_MENU, id);
        list_->GetEventHandler()->ProcessEvent(event);
        WaitIdle();
    };
    const wxString extra = WritePdf("z.pdf", fixtures::MakeMultiPagePdf(1), dir_.Path());
    prompt_.files.push_back(Paths({extra}));
    command(SelectWindow::MenuAddFile);
    EXPECT_EQ(list_->GetRowCount(), 4);
    prompt_.folders.push_back(src_);
    command(SelectWindow::MenuAddFolder);
    EXPECT_EQ(list_->GetRowCount(), 4) << "the folder's files are in the list already";
    EXPECT_EQ(LastMessage(), "Already in the list, not added again: 3");
    grid->ClearSelection();
    grid->SelectRow(0);
    command(SelectWindow::MenuDelete);
    EXPECT_EQ(list_->GetRowCount(), 3);
    command(SelectWindow::MenuConvertSelected);  // nothing selected after the delete
    EXPECT_EQ(LastMessage(), "Are you sure you want to remove the selected items from the list?");
    command(SelectWindow::MenuClearAll);
    EXPECT_EQ(list_->GetRowCount(), 0);
}

TEST_F(WorkArea, PageCellEditsAreCheckedAndNormalised)
{
    AddThroughDialog(Paths({WritePdf("a.pdf", fixtures::MakeMultiPagePdf(6))}));
    RuvGrid* grid = list_->GetGrid();
    const auto edit = [&](const wxString& typed) {
        grid->SetGridCursor(0, COL_SELECTED_PAGE);
        grid->EnableCellEditControl();
        ASSERT_TRUE(grid->IsCellEditControlShown());
        wxGridCellEditor* editor = grid->GetCellEditor(0, COL_SELECTED_PAGE);
        auto* text = dynamic_cast<wxTextCtrl*>(editor->GetControl());
        editor->DecRef();  // the attribute keeps its own reference
        ASSERT_NE(text, nullptr);
        text->SetValue(typed);
        grid->SaveEditControlValue();
        grid->DisableCellEditControl();
    };
    struct Case {
        const char* typed;
        const char* stored;
        bool refused;
    };
    const Case cases[] = {
        {" 3,5", "3,5", false}, {"0", "3,5", true}, {"2-4 pages", "2-4", false}, {"5-7", "2-4", true},
        {"1, 3", "1,3", false}, {"2 - 3", "2-3", false}, {"1-", "1-6", false}, {"1;3", "1-6", true},
        {"1,,3", "1,3", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        prompt_.messages.clear();
        edit(c.typed);
        EXPECT_EQ(list_->GetCellText(0, COL_SELECTED_PAGE), c.stored);
        EXPECT_EQ(prompt_.messages, c.refused ? std::vector<wxString>{"Invalid format or out of range!\nfor example: 1,3,4,5-10"}
                                              : std::vector<wxString>{});
    }
}

TEST_F(WorkArea, RightClickActsOnTheRowUnderThePointer)
{
    for (const char* name : {"a.pdf", "b.pdf", "c.pdf"})
        WritePdf(name, fixtures::MakeMultiPagePdf(1));
    AddFolderThroughDialog(src_);
    RuvGrid* grid = list_->GetGrid();
    const auto selected = [&] {
        const wxArrayInt rows = list_->GetSelectedRows();
        return std::vector<int>(rows.begin(), rows.end());
    };
    // Right-clicks row 2 and closes the menu it opens (the menu runs its own loop).
    const auto right_click_row_2 = [&] {
        const wxRect cell = CellOnScreen(2, COL_FILE_NAME);
        Script script({Do([&] { sim_.MouseMove(cell.GetPosition() + wxPoint(8, cell.height / 2)); }),
                       Do([&] { sim_.MouseClick(wxMOUSE_BTN_RIGHT); }),
                       Until(PopupMenuOpen),
                       Do([&] { sim_.Char(WXK_ESCAPE); })});
        ASSERT_TRUE(PumpUntil([&] { return script.Done(); }, 8000)) << "stuck at step " << script.Reached();
        ASSERT_TRUE(guitest::SyncEvents());
    };
    grid->SelectRow(0);
    right_click_row_2();
    EXPECT_EQ(selected(), std::vector<int>{2}) << "an unselected row becomes the selection";
    grid->SelectRow(0, true);
    right_click_row_2();
    EXPECT_EQ(selected(), (std::vector<int>{0, 2})) << "a selected row keeps the others with it";
}

TEST_F(WorkArea, HeadersSortByNameSizeAndPagesAndTheStatusesMoveWithTheirRows)
{
    AddThroughDialog(Paths({WritePdf("b.pdf", fixtures::MakeMultiPagePdf(9)), WritePdf("C.pdf", fixtures::MakeMultiPagePdf(1)),
                            WritePdf("a.pdf", fixtures::MakeMultiPagePdf(4))}));
    PostConvertStatus(list_, list_->GetId(), 1, COL_STATUS, StatusFailed, 0, "why");  // C.pdf
    ASSERT_TRUE(PumpUntil([&] { return list_->GetStatusText(1) == "Failed"; }));

    ASSERT_TRUE(list_->SortBy(COL_TOTAL_PAGES));
    EXPECT_EQ(Column(COL_FILE_NAME), (std::vector<wxString>{"C.pdf", "a.pdf", "b.pdf"}));
    EXPECT_EQ(Statuses(), (std::vector<wxString>{"Failed", "Not Converted", "Not Converted"}));
    EXPECT_EQ(list_->GetStatusReason(0), "why");
    ASSERT_TRUE(list_->SortBy(COL_TOTAL_PAGES));
    EXPECT_EQ(Column(COL_TOTAL_PAGES), (std::vector<wxString>{"9", "4", "1"})) << "again: descending";
    ASSERT_TRUE(list_->SortBy(COL_FILE_NAME));
    EXPECT_EQ(Column(COL_FILE_NAME), (std::vector<wxString>{"a.pdf", "b.pdf", "C.pdf"})) << "names in any case";
    EXPECT_EQ(Column(COL_SELECTED_PAGE), (std::vector<wxString>{"1-4", "1-9", "1-1"}));
    ASSERT_TRUE(list_->SortBy(COL_SIZE));
    EXPECT_EQ(Column(COL_FILE_NAME), (std::vector<wxString>{"C.pdf", "a.pdf", "b.pdf"}));
    EXPECT_FALSE(list_->SortBy(COL_STATUS));
}

// ---------------------------------------------------------------------------
// The output panel

TEST_F(WorkArea, BrowseTakesOnlyWritableFoldersAndOpenNeedsARow)
{
    const wxString chosen = dir_.Path() + "/chosen";
    ASSERT_TRUE(wxFileName::Mkdir(chosen));
    const wxString other = dir_.Path() + "/other";
    ASSERT_TRUE(wxFileName::Mkdir(other));
    const wxString refused = "The folder is unwritable, please choose another one!";
    struct Case {
        std::vector<wxString> answers;  // one a time the chooser opens
        wxString stored;
        std::vector<wxString> messages;
    };
    const Case cases[] = {
        {{chosen}, chosen, {}},
        {{"/proc/1"}, chosen, {refused}},  // then cancelled
        {{dir_.Path() + "/missing"}, chosen, {refused}},
        {{wxString()}, chosen, {}},  // Cancel
        {{"/proc/1", other}, other, {refused}},  // the chooser opens again
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers.front().utf8_string());
        prompt_.messages.clear();
        for (const wxString& answer : c.answers)
            prompt_.folders.push_back(answer);
        Click(output_, output_->GetBrowseButton()->GetPosition() + wxPoint(10, 10));
        EXPECT_EQ(ConvertOptions[LAST_OUTPUT_DIR], c.stored);
        EXPECT_EQ(output_->GetFolderField()->GetValue(), c.stored);
        EXPECT_EQ(prompt_.messages, c.messages);
    }
    EXPECT_EQ(prompt_.folder_messages.front(), "Select an output folder.");

    prompt_.messages.clear();
    Click(output_, output_->GetSourceFolderChoice()->GetPosition() + wxPoint(5, 5));
    EXPECT_EQ(ConvertOptions[SAVE_IN_SOURCE_DIR], "1");
    EXPECT_FALSE(output_->GetBrowseButton()->IsEnabled());
    Click(output_, output_->GetOpenButton()->GetPosition() + wxPoint(10, 10));
    EXPECT_EQ(prompt_.messages, std::vector<wxString>{"No item selected!"});
}

// ---------------------------------------------------------------------------
// The empty list's guide

TEST_F(WorkArea, GuideShowsOnTheEmptyListWithItsTwoPictures)
{
    EXPECT_FALSE(list_->GetGrid()->IsShown());
    ASSERT_TRUE(frame_->GetGuideStartImage().IsOk());
    EXPECT_EQ(frame_->GetGuideStartImage().GetHeight(), 24);
    ASSERT_TRUE(PumpUntil([&] { return !frame_->GetGuideStartRect().IsEmpty(); }));
    const wxRect start = frame_->GetGuideStartRect();
    const wxRect add_file = frame_->GetGuideAddFileRect();
    EXPECT_LT(add_file.y, start.y) << "step 1 above step 3";
    EXPECT_EQ(add_file.GetSize(), frame_->GetGuideAddFileImage().GetSize());
    // The Start picture is the accent button, drawn where the layout put it.
    const wxPoint centre = list_->ClientToScreen(start.GetPosition() + wxPoint(3, start.height / 2));
    EXPECT_TRUE(guitest::ShowsColour(frame_, frame_->ScreenToClient(centre), kAmber, 40));
}

}  // namespace
