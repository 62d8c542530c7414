// The extraction job: rows through the PDF service on a worker, progress and
// results as queued events, one log line per row between "Begin" and "Finish".
#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/file_util.h"
#include "conversion_support.h"
#include "domain/convert_options.h"
#include "domain/domain_convert_kestran.h"
#include "domain/job_state.h"
#include "support/pdf_fixtures.h"
#include "support/temp_home.h"

namespace {

using conversion_test::Collector;
using conversion_test::PumpUntil;

std::string Utf8(const wxString& s) {
    return s.utf8_string();
}

// The day's log without the "# HH:MM:SS " in front of each entry.
std::vector<std::string> LogEntries() {
    std::vector<std::string> entries;
    const std::string text = TempHome::ReadFile(FileUtil::GetLogFilePath());
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        entries.push_back(line.size() > 11 ? line.substr(11) : line);
        start = end + 1;
    }
    return entries;
}

class ExtractionJob : public TempHomeTest {
protected:
    void SetUp() override {
        ConvertOptions.clear();
        g_job_state.store(JobIdle);
        in_ = home_.Path() + "/in";
        out_ = home_.Path() + "/out";
        ASSERT_TRUE(TempHome::MakeDirs(in_));
        ASSERT_TRUE(TempHome::MakeDirs(out_));
        ConvertOptions[LAST_OUTPUT_DIR] = out_;
        ConvertOptions[SAVE_IN_SOURCE_DIR] = "0";
        ConvertOptions[STATUS_COLUMN] = "5";
        ConvertOptions[OUTPUT_TYPE] = "0";
        convert_->SetOwner(std::make_shared<EventTargetRecord>(&collector_, 77));
    }
    void TearDown() override { ConvertOptions.clear(); }

    // Writes the fixture below `folder` and returns its path.
    wxString Add(const wxString& folder, const std::string& name, const fixtures::FixturePdf& pdf) {
        EXPECT_TRUE(TempHome::MakeDirs(folder));
        const wxString path = folder + "/" + wxString::FromUTF8(name);
        EXPECT_TRUE(TempHome::WriteFile(path, pdf.bytes));
        return path;
    }

    // Rows as the file list hands them to a job: row index -> cells.
    RowTable Rows(const std::vector<wxString>& paths, const std::vector<int>& indexes = {}) {
        wxString list;
        for (const wxString& p : paths)
            list += p + "|";
        const auto built = convert_->BuildRows(list, ConvertOptions);
        RowTable rows;
        for (size_t i = 0; i < built->size(); ++i)
            rows[indexes.empty() ? static_cast<int>(i) : indexes[i]] = (*built)[i].cells_;
        return rows;
    }

    bool RunJob(RowTable rows) {
        const size_t before = collector_.done_ints_.size();
        if (!convert_->StartJob(std::move(rows)))
            return false;
        return PumpUntil([&] { return collector_.done_ints_.size() > before; });
    }

    static std::vector<std::string> Files(const wxString& dir) {
        return fixtures::ListFiles(std::filesystem::u8path(Utf8(dir)));
    }

    wxString in_, out_;
    Collector collector_;
    std::shared_ptr<DomainConvertKESTRAN> convert_ = std::make_shared<DomainConvertKESTRAN>();
};

// The last status of a row, and that every earlier percent stayed below 100.
void ExpectRowEndsAt100(const Collector& c, int row) {
    const auto statuses = c.StatusesOf(row);
    ASSERT_FALSE(statuses.empty()) << "row " << row;
    for (size_t i = 0; i + 1 < statuses.size(); ++i) {
        EXPECT_EQ(statuses[i].kind, StatusPercent) << "row " << row;
        EXPECT_LT(statuses[i].percent, 100) << "row " << row;
        if (i > 0) {
            EXPECT_GE(statuses[i].percent, statuses[i - 1].percent) << "row " << row;
        }
    }
    EXPECT_EQ(statuses.back().kind, StatusPercent);
    EXPECT_EQ(statuses.back().percent, 100);
    for (const auto& s : statuses)
        EXPECT_EQ(s.column, 5);
}

TEST_F(ExtractionJob, ThreeRowsToOneFolder) {
    const fixtures::FixturePdf a = fixtures::MakeMultiPagePdf(3);
    const fixtures::FixturePdf b = fixtures::MakeJpegPdf(fixtures::JpegKind::Rgb);
    const fixtures::FixturePdf c = fixtures::MakeNoImagePdf(2);
    const std::vector<wxString> paths = {Add(in_, "a.pdf", a), Add(in_, "b.pdf", b), Add(in_, "c.pdf", c)};

    ASSERT_TRUE(RunJob(Rows(paths)));
    EXPECT_EQ(collector_.done_ints_, std::vector<int>{3});
    for (int row = 0; row < 3; ++row)
        ExpectRowEndsAt100(collector_, row);
    // Rows one after the other.
    std::vector<int> order;
    for (const auto& s : collector_.statuses_)
        if (order.empty() || order.back() != s.row)
            order.push_back(s.row);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    for (int id : collector_.ids_)
        EXPECT_EQ(id, 77);
    EXPECT_FALSE(collector_.off_thread_);

    std::vector<std::string> expected = fixtures::ExpectedNames(a, "a");
    const std::vector<std::string> from_b = fixtures::ExpectedNames(b, "b");
    expected.insert(expected.end(), from_b.begin(), from_b.end());
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(expected.size(), 4u);  // three pages with one image each, one photo
    EXPECT_EQ(Files(out_), expected);
    EXPECT_EQ(Files(in_).size(), 3u);  // nothing written next to the sources

    EXPECT_EQ(LogEntries(), (std::vector<std::string>{
                                "Begin [] [0]",
                                Utf8(paths[0]) + " [" + Utf8(out_) + "] [0]",
                                Utf8(paths[1]) + " [" + Utf8(out_) + "] [0]",
                                Utf8(paths[2]) + " [" + Utf8(out_) + "] [0]",
                                "Finish [] [0]",
                            }));
    EXPECT_EQ(g_job_state.load(), JobIdle);
    EXPECT_EQ(convert_->GetCurrentRow(), -1);
}

TEST_F(ExtractionJob, EachRowToItsSourceFolder) {
    const fixtures::FixturePdf pdf = fixtures::MakeMultiPagePdf(2);
    const std::vector<wxString> folders = {in_ + "/one", in_ + "/two", in_ + "/three"};
    std::vector<wxString> paths;
    for (const wxString& f : folders)
        paths.push_back(Add(f, "doc.pdf", pdf));
    ConvertOptions[SAVE_IN_SOURCE_DIR] = "1";

    ASSERT_TRUE(RunJob(Rows(paths)));
    EXPECT_EQ(collector_.done_ints_, std::vector<int>{3});
    std::vector<std::string> expected = fixtures::ExpectedNames(pdf, "doc");
    expected.push_back("doc.pdf");
    std::sort(expected.begin(), expected.end());
    for (const wxString& f : folders)
        EXPECT_EQ(Files(f), expected) << f;
    EXPECT_TRUE(Files(out_).empty());
    const auto log = LogEntries();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[2], Utf8(paths[1]) + " [" + Utf8(folders[1]) + "] [0]");
}

// A backslash is an ordinary character of a folder name: the folder "a\b" is
// scanned, becomes the rows' source folder and receives their images.
TEST_F(ExtractionJob, FolderNamedWithABackslashFromScanToImages) {
    const fixtures::FixturePdf pdf = fixtures::MakeMultiPagePdf(2);
    const wxString folder = in_ + "/a\\b";
    const wxString path = Add(folder, "doc.pdf", pdf);
    convert_->LoadFolder(convert_->MakeLoadItem(folder));
    ASSERT_TRUE(PumpUntil([&] { return !collector_.loaded_rows_.empty(); }));
    ASSERT_EQ(collector_.loaded_rows_[0].size(), 1u);
    const FileRowInfo& row = collector_.loaded_rows_[0][0];
    EXPECT_EQ(row.status_, RowOpened);
    EXPECT_EQ(row.cells_[COL_SOURCE_PATH], path);
    EXPECT_EQ(row.cells_[COL_SOURCE_DIR], folder);

    ConvertOptions[SAVE_IN_SOURCE_DIR] = "1";
    ASSERT_TRUE(RunJob(RowTable{{0, row.cells_}}));
    EXPECT_EQ(collector_.done_ints_, std::vector<int>{1});
    std::vector<std::string> expected = fixtures::ExpectedNames(pdf, "doc");
    expected.push_back("doc.pdf");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Files(folder), expected);
    EXPECT_FALSE(FileUtil::IsPathExists(in_ + "/a"));
    EXPECT_EQ(LogEntries()[1], Utf8(path) + " [" + Utf8(folder) + "] [0]");
}

TEST_F(ExtractionJob, ChosenOutputFolderKeepsItsBackslash) {
    const fixtures::FixturePdf pdf = fixtures::MakeJpegPdf(fixtures::JpegKind::Gray);
    const wxString path = Add(in_, "g.pdf", pdf);
    const wxString chosen = out_ + "\\x";  // a sibling of out_, named "out\x"
    ASSERT_TRUE(TempHome::MakeDirs(chosen));
    ConvertOptions[LAST_OUTPUT_DIR] = chosen;

    ASSERT_TRUE(RunJob(Rows({path})));
    EXPECT_EQ(collector_.done_ints_, std::vector<int>{1});
    EXPECT_EQ(Files(chosen), fixtures::ExpectedNames(pdf, "g"));
    EXPECT_TRUE(Files(out_).empty());
    EXPECT_EQ(LogEntries()[1], Utf8(path) + " [" + Utf8(chosen) + "] [0]");
}

TEST_F(ExtractionJob, FailedRowIsReportedAndTheJobGoesOn) {
    const wxString bad = in_ + "/bad.pdf";
    ASSERT_TRUE(TempHome::WriteFile(bad, "not a pdf"));
    const wxString good = Add(in_, "good.pdf", fixtures::MakeMultiPagePdf(1));
    RowTable rows = Rows({bad, good});
    rows[0][COL_SELECTED_PAGE] = "1";  // as if a range had been typed for it

    ASSERT_TRUE(RunJob(std::move(rows)));
    EXPECT_EQ(collector_.done_ints_, std::vector<int>{1});
    const auto first = collector_.StatusesOf(0);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.back().kind, StatusFailed);
    ExpectRowEndsAt100(collector_, 1);
    const auto log = LogEntries();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1], Utf8(bad) + " [" + Utf8(out_) + "] [" + std::to_string(KESTRAN_EXTRACT_CANNOT_OPEN) + "] not a PDF")
        << "the reason follows the result code";
    EXPECT_EQ(log[2], Utf8(good) + " [" + Utf8(out_) + "] [0]");
}

TEST_F(ExtractionJob, RowsRunInAscendingOrderWhateverTheirNumbers) {
    const fixtures::FixturePdf pdf = fixtures::MakeMultiPagePdf(1);
    std::vector<wxString> paths;
    for (const char* name : {"r250.pdf", "r3.pdf", "r120.pdf", "r101.pdf"})
        paths.push_back(Add(in_, name, pdf));
    ASSERT_TRUE(RunJob(Rows(paths, {250, 3, 120, 101})));
    std::vector<int> order;
    for (const auto& s : collector_.statuses_)
        if (order.empty() || order.back() != s.row)
            order.push_back(s.row);
    EXPECT_EQ(order, (std::vector<int>{3, 101, 120, 250}));
    const auto log = LogEntries();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[1].substr(0, Utf8(paths[1]).size()), Utf8(paths[1]));
    EXPECT_EQ(log[4].substr(0, Utf8(paths[0]).size()), Utf8(paths[0]));
}

TEST_F(ExtractionJob, EmptyRowTableStillLogsAndFinishes) {
    ASSERT_TRUE(RunJob(RowTable()));
    EXPECT_EQ(collector_.done_ints_, std::vector<int>{0});
    EXPECT_TRUE(collector_.statuses_.empty());
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{"Begin [] [0]", "Finish [] [0]"}));
}

TEST_F(ExtractionJob, TheJobWorksOnTheOptionsItStartedWith) {
    const fixtures::FixturePdf pdf = fixtures::MakeMultiPagePdf(2);
    const wxString path = Add(in_, "a.pdf", pdf);
    const wxString elsewhere = home_.Path() + "/elsewhere";
    ASSERT_TRUE(TempHome::MakeDirs(elsewhere));
    RowTable rows = Rows({path});
    ASSERT_TRUE(convert_->StartJob(std::move(rows)));
    // The panels change the table while the job runs.
    ConvertOptions[LAST_OUTPUT_DIR] = elsewhere;
    ConvertOptions[SAVE_IN_SOURCE_DIR] = "1";
    ConvertOptions[STATUS_COLUMN] = "2";
    ASSERT_TRUE(PumpUntil([&] { return !collector_.done_ints_.empty(); }));
    EXPECT_EQ(Files(out_), fixtures::ExpectedNames(pdf, "a"));
    EXPECT_TRUE(Files(elsewhere).empty());
    for (const auto& s : collector_.statuses_)
        EXPECT_EQ(s.column, 5);
}

// Stops the job at the first progress call of its first row, the way the
// Stop button does it (job state and service cancel), then lets the normal
// progress handling answer.
class StoppingConvert : public DomainConvertKESTRAN {
public:
    bool armed_ = true;

protected:
    int OnExtractProgress(ProgressContext& context, int done, int total) override {
        if (armed_) {
            armed_ = false;
            Stop();
        }
        return DomainConvertKESTRAN::OnExtractProgress(context, done, total);
    }
};

class StoppedJob : public ExtractionJob {
protected:
    void SetUp() override {
        ExtractionJob::SetUp();
        stopping_->SetOwner(std::make_shared<EventTargetRecord>(&collector_, 77));
    }
    std::shared_ptr<StoppingConvert> stopping_ = std::make_shared<StoppingConvert>();
};

TEST_F(StoppedJob, StopDuringTheFirstOfThreeRows) {
    const std::vector<wxString> paths = {Add(in_, "many.pdf", fixtures::MakeManyImagesPdf(60)),
                                         Add(in_, "b.pdf", fixtures::MakeMultiPagePdf(2)),
                                         Add(in_, "c.pdf", fixtures::MakeMultiPagePdf(2))};
    RowTable rows = Rows(paths);
    ASSERT_TRUE(stopping_->StartJob(std::move(rows)));
    ASSERT_TRUE(PumpUntil([&] { return !collector_.done_ints_.empty(); }));

    ASSERT_EQ(collector_.done_ints_.size(), 1u);
    EXPECT_LE(collector_.done_ints_[0], 1);
    const auto first = collector_.StatusesOf(0);
    ASSERT_GE(first.size(), 2u);
    EXPECT_EQ(first.back().kind, StatusStopped);
    // The service gave up on the row: "Failed" comes right before "Stop".
    EXPECT_EQ(first[first.size() - 2].kind, StatusFailed);
    EXPECT_EQ(collector_.done_ints_[0], 0);
    EXPECT_TRUE(collector_.StatusesOf(1).empty());
    EXPECT_TRUE(collector_.StatusesOf(2).empty());

    const auto log = LogEntries();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "Begin [] [0]");
    EXPECT_EQ(log[1], Utf8(paths[0]) + " [" + Utf8(out_) + "] [" + std::to_string(KESTRAN_EXTRACT_CANCELLED) + "] interrupted");
    EXPECT_EQ(log[2], "Finish [] [0]");
    EXPECT_EQ(fixtures::StrayFiles(std::filesystem::u8path(Utf8(out_))), std::vector<std::string>{});

    // The next job runs normally: its start sets the job state back to running
    // and the new service forgets the cancel.
    collector_.statuses_.clear();
    ASSERT_TRUE(RunJob(Rows(paths)));
    EXPECT_EQ(collector_.done_ints_.back(), 3);
    for (int row = 0; row < 3; ++row)
        ExpectRowEndsAt100(collector_, row);
}

TEST_F(ExtractionJob, StopBeforeTheWorkerReachesARowStillEndsTheJob) {
    const std::vector<wxString> paths = {Add(in_, "a.pdf", fixtures::MakeManyImagesPdf(30)),
                                         Add(in_, "b.pdf", fixtures::MakeMultiPagePdf(2))};
    ASSERT_TRUE(convert_->StartJob(Rows(paths)));
    convert_->Stop();  // from this (UI) thread, while the worker starts
    ASSERT_TRUE(PumpUntil([&] { return !collector_.done_ints_.empty(); }));
    // However far row 0 got, the stop is seen after it: row 1 is never touched.
    const auto first = collector_.StatusesOf(0);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.back().kind, StatusStopped);
    EXPECT_TRUE(collector_.StatusesOf(1).empty());
    EXPECT_EQ(LogEntries().size(), 3u);
}

TEST_F(ExtractionJob, ProgressFormula) {
    DomainConvertKESTRAN::ProgressContext context;
    context.convert = convert_.get();
    const auto record = std::make_shared<EventTargetRecord>(&collector_, 77);
    context.target = record.get();
    context.row = 7;
    context.column = 5;
    g_job_state.store(JobRunning);
    EXPECT_EQ(DomainConvertKESTRAN::ProgressFunction(&context, 0, 4), 0);
    EXPECT_EQ(DomainConvertKESTRAN::ProgressFunction(&context, 4, 4), 0);
    EXPECT_EQ(DomainConvertKESTRAN::ProgressFunction(&context, 4, 4), 0);  // same percent: not again
    EXPECT_EQ(DomainConvertKESTRAN::ProgressFunction(&context, 8, 4), 0);
    EXPECT_EQ(DomainConvertKESTRAN::ProgressFunction(&context, 1, 0), 0);
    g_job_state.store(JobStopRequested);
    EXPECT_EQ(DomainConvertKESTRAN::ProgressFunction(&context, 5, 4), -2);
    g_job_state.store(JobIdle);

    DomainConvert::ReportProgress(record.get(), 0, 10, 1, 5);
    DomainConvert::ReportProgress(record.get(), 10, 10, 1, 5);
    DomainConvert::ReportProgress(record.get(), 3, 0, 1, 5);  // no total: 0, not a division by zero
    DomainConvert::ReportProgress(record.get(), 5, -1, 1, 5);
    DomainConvert::ReportStatus(record.get(), 2, 5, StatusFailed);
    wxAppConsole::GetInstance()->ProcessPendingEvents();

    std::vector<int> percents;
    for (const auto& s : collector_.StatusesOf(7))
        percents.push_back(s.percent);
    // 0/9, 400/9 = 44, 800/9 = 88, then 100/1 for done 1 of total 0.
    EXPECT_EQ(percents, (std::vector<int>{0, 44, 88, 100}));
    std::vector<int> direct;
    for (const auto& s : collector_.StatusesOf(1))
        direct.push_back(s.percent);
    EXPECT_EQ(direct, (std::vector<int>{0, 100, 0, 0}));
    ASSERT_EQ(collector_.StatusesOf(2).size(), 1u);
    EXPECT_EQ(collector_.StatusesOf(2)[0].kind, StatusFailed);
    EXPECT_EQ(collector_.StatusesOf(2)[0].percent, 0);
}

TEST_F(ExtractionJob, JobLogEntryFormat) {
    convert_->WriteJobLog("Begin", "", 0);
    convert_->WriteJobLog("/a b/c.pdf", "/out", 5);
    // A line end in a path stays inside its entry.
    convert_->WriteJobLog("/a\nb/c.pdf", "/out\tx", 1);
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{"Begin [] [0]", "/a b/c.pdf [/out] [5]",
                                                      "/a\\nb/c.pdf [/out\\tx] [1]"}));
}

}  // namespace
