// Paths become rows: size, page count, open test, the nine cells; folder scans.
#include <algorithm>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <wx/app.h>

#include "common/file_util.h"
#include "conversion_support.h"
#include "domain/convert_options.h"
#include "domain/domain_convert_kestran.h"
#include "domain/page_range.h"
#include "support/pdf_fixtures.h"
#include "support/temp_home.h"

namespace {

using conversion_test::Collector;
using conversion_test::PumpUntil;

class RowBuilding : public TempHomeTest {
protected:
    void SetUp() override {
        ConvertOptions.clear();
        ConvertOptions[OUTPUT_TYPE] = "0";
        dir_ = home_.Path() + "/pdfs";
        ASSERT_TRUE(TempHome::MakeDirs(dir_));
        convert_->SetOwner(std::make_shared<EventTargetRecord>(&collector_, 4711));
    }
    void TearDown() override { ConvertOptions.clear(); }

    wxString Write(const wxString& name, const std::string& bytes) {
        const wxString path = dir_ + "/" + name;
        EXPECT_TRUE(TempHome::WriteFile(path, bytes));
        return path;
    }

    wxString dir_;
    Collector collector_;
    std::shared_ptr<DomainConvertKESTRAN> convert_ = std::make_shared<DomainConvertKESTRAN>();
};

TEST_F(RowBuilding, ListWithTrailingBarGivesOneRowPerPathInOrder) {
    const fixtures::FixturePdf three = fixtures::MakeMultiPagePdf(3);
    const fixtures::FixturePdf one = fixtures::MakeJpegPdf(fixtures::JpegKind::Rgb);
    const wxString a = Write("three pages.pdf", three.bytes);
    const wxString b = Write(wxString::FromUTF8("ein Blatt ü.pdf"), one.bytes);

    const auto rows = convert_->BuildRows(a + "|" + b + "|", ConvertOptions);
    ASSERT_EQ(rows->size(), 2u);

    const FileRowInfo& r = (*rows)[0];
    EXPECT_EQ(r.status_, RowOpened);
    EXPECT_TRUE(r.add_);
    EXPECT_EQ(r.source_path_, a);
    EXPECT_EQ(r.size_, three.bytes.size());
    ASSERT_EQ(r.cells_.size(), static_cast<size_t>(COL_COUNT));
    EXPECT_EQ(r.cells_[COL_FILE_NAME], "three pages.pdf");
    EXPECT_EQ(r.cells_[COL_SIZE], FileUtil::FormatSize(three.bytes.size()));
    EXPECT_EQ(r.cells_[COL_TOTAL_PAGES], "3");
    EXPECT_EQ(r.cells_[COL_OUTPUT_TYPE], "0");
    EXPECT_EQ(r.cells_[COL_SELECTED_PAGE], "1-3");
    EXPECT_EQ(r.cells_[COL_STATUS], "Not Converted");
    EXPECT_EQ(r.cells_[COL_SOURCE_PATH], a);
    EXPECT_EQ(r.cells_[COL_SOURCE_DIR], dir_);
    EXPECT_EQ(r.cells_[COL_OUTPUT_NAME], "");

    const FileRowInfo& s = (*rows)[1];
    EXPECT_EQ(s.status_, RowOpened);
    EXPECT_EQ(s.cells_[COL_FILE_NAME], wxString::FromUTF8("ein Blatt ü.pdf"));
    EXPECT_EQ(s.cells_[COL_SELECTED_PAGE], "1-1");
    // A one-page file's range passes the page-range check with count 1.
    EXPECT_TRUE(CheckPageRange(s.cells_[COL_SELECTED_PAGE], 1));
}

TEST_F(RowBuilding, EmptyFileGetsStatusOne) {
    const wxString path = Write("empty.pdf", "");
    const auto rows = convert_->BuildRows(path, ConvertOptions);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ((*rows)[0].status_, RowEmptyFile);
    EXPECT_EQ((*rows)[0].cells_[COL_SIZE], "0.0B");
    EXPECT_TRUE((*rows)[0].add_);  // the main frame drops it, not the builder
}

struct Unopenable {
    const char* name;
    std::string bytes;
};

TEST_F(RowBuilding, FilesTheServiceCannotOpenStillBecomeRows) {
    const Unopenable cases[] = {
        {"text.pdf", "this is not a PDF at all\n"},
        {"header-only.pdf", "%PDF-1.7\n"},
        {"password.pdf", fixtures::MakeEncryptedPdf("secret").bytes},
    };
    for (const Unopenable& c : cases) {
        const wxString path = Write(c.name, c.bytes);
        const auto rows = convert_->BuildRows(path + "|", ConvertOptions);
        ASSERT_EQ(rows->size(), 1u) << c.name;
        const FileRowInfo& r = (*rows)[0];
        EXPECT_EQ(r.status_, RowCannotOpen) << c.name;
        EXPECT_EQ(r.cells_[COL_TOTAL_PAGES], "") << c.name;
        EXPECT_EQ(r.cells_[COL_SELECTED_PAGE], "") << c.name;
        EXPECT_EQ(r.cells_[COL_STATUS], "Not Converted") << c.name;
        EXPECT_EQ(r.cells_[COL_SIZE], FileUtil::FormatSize(c.bytes.size())) << c.name;
    }
}

TEST_F(RowBuilding, VanishedFileIsReportedNotDroppedAsEmpty) {
    const auto rows = convert_->BuildRows(dir_ + "/gone.pdf|", ConvertOptions);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ((*rows)[0].status_, RowCannotOpen);
    EXPECT_EQ((*rows)[0].cells_[COL_FILE_NAME], "gone.pdf");
}

TEST_F(RowBuilding, SameFileTwiceGivesTwoIdenticalRows) {
    const wxString path = Write("a.pdf", fixtures::MakeMultiPagePdf(2).bytes);
    const auto rows = convert_->BuildRows(path + "|" + path + "|", ConvertOptions);
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ((*rows)[0].cells_, (*rows)[1].cells_);
    EXPECT_EQ((*rows)[0].status_, (*rows)[1].status_);
}

TEST_F(RowBuilding, EmptyListGivesNoRows) {
    EXPECT_TRUE(convert_->BuildRows("", ConvertOptions)->empty());
    EXPECT_TRUE(convert_->BuildRows("|", ConvertOptions)->empty());
}

TEST_F(RowBuilding, FileInTheRootFolderHasTheRootAsSourceDir) {
    EXPECT_EQ(DomainConvertPDF::SourceDirOf("/a.pdf"), "/");
    EXPECT_EQ(DomainConvertPDF::SourceDirOf("/in/a\\b/x.pdf"), "/in/a\\b");
    EXPECT_EQ(DomainConvertPDF::SourceDirOf("C:\\x\\a.pdf"), "");  // one name, no folder
    EXPECT_EQ(DomainConvertPDF::SourceDirOf("/home/u/a.pdf"), "/home/u");
}

TEST_F(RowBuilding, LoadingOnAWorkerQueuesTheRowsOnce) {
    const wxString a = Write("a.pdf", fixtures::MakeMultiPagePdf(2).bytes);
    const wxString b = Write("b.pdf", "broken");
    ASSERT_TRUE(convert_->StartLoadFiles(a + "|" + b + "|"));
    ASSERT_TRUE(PumpUntil([&] { return !collector_.loaded_ints_.empty(); }));
    ASSERT_EQ(collector_.loaded_ints_, std::vector<int>{1});
    ASSERT_EQ(collector_.loaded_rows_[0].size(), 2u);
    EXPECT_EQ(collector_.loaded_rows_[0][0].source_path_, a);
    EXPECT_EQ(collector_.loaded_rows_[0][1].status_, RowCannotOpen);
    EXPECT_EQ(collector_.ids_, std::vector<int>{4711});
    EXPECT_FALSE(collector_.off_thread_);
}

using FolderScan = RowBuilding;

TEST_F(FolderScan, NoMatchQueuesExactlyOneEventWithZero) {
    Write("notes.txt", "x");
    ASSERT_TRUE(TempHome::MakeDirs(dir_ + "/sub"));
    Write("sub/deep.pdf", fixtures::MakeMultiPagePdf(1).bytes);  // sub-folders are not scanned
    convert_->LoadFolder(convert_->MakeLoadItem(dir_));  // on this thread: everything it queues is in the queue now
    wxAppConsole::GetInstance()->ProcessPendingEvents();
    EXPECT_EQ(collector_.loaded_ints_, std::vector<int>{0});
    EXPECT_TRUE(collector_.loaded_rows_[0].empty());
}

TEST_F(FolderScan, UpperCaseNamesMatchAndOnlyFilesOfTheFolderCount) {
    const std::string pdf = fixtures::MakeMultiPagePdf(2).bytes;
    Write("a.pdf", pdf);
    Write("B.PDF", pdf);
    Write("c.Pdf", pdf);
    Write("d.pdf.bak", pdf);
    ASSERT_TRUE(TempHome::MakeDirs(dir_ + "/e.pdf"));
    ASSERT_TRUE(convert_->StartLoadFolder(dir_));
    ASSERT_TRUE(PumpUntil([&] { return !collector_.loaded_ints_.empty(); }));
    ASSERT_EQ(collector_.loaded_ints_, std::vector<int>{1});
    std::vector<std::string> names;
    for (const FileRowInfo& r : collector_.loaded_rows_[0]) {
        names.push_back(r.cells_[COL_FILE_NAME].utf8_string());
        EXPECT_EQ(r.status_, RowOpened) << r.source_path_;
        EXPECT_EQ(r.cells_[COL_SOURCE_DIR], dir_);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"B.PDF", "a.pdf", "c.Pdf"}));
}

TEST(PdfConversion, AcceptsPdfFilesOnly) {
    DomainConvertKESTRAN convert;
    EXPECT_TRUE(convert.IsSupportedExtension("pdf"));
    for (const char* other : {"PDF", "pd", "df", "", ";", "pdf;", "txt"})
        EXPECT_FALSE(convert.IsSupportedExtension(other)) << other;
    EXPECT_EQ(convert.GetFileFilter(), "PDF files(*.pdf)|*.[pP][dD][fF]|All files(*)|*");
    EXPECT_EQ(convert.GetFolderPatterns(), wxArrayString(1, "*.pdf"));
    EXPECT_EQ(convert.GetOutputExtension(), ".jpg");
    EXPECT_FALSE(convert.IsPolling());
    EXPECT_EQ(convert.GetProgressPercent(), 0);
}

TEST(PdfConversion, PageServiceIsSharedAndFreedWithTheLastObject) {
    ASSERT_EQ(DomainConvertPDF::GetP2xService(), nullptr);
    auto first = std::make_unique<DomainConvertKESTRAN>();
    Pdf2xxService* service = DomainConvertPDF::GetP2xService();
    ASSERT_NE(service, nullptr);
    {
        DomainConvertPDF second;
        EXPECT_EQ(DomainConvertPDF::GetP2xService(), service);
    }
    // The second object went; the first still counts pages with the service.
    EXPECT_EQ(DomainConvertPDF::GetP2xService(), service);
    fixtures::TempDir dir;
    fixtures::WriteFile(dir / "a.pdf", fixtures::MakeMultiPagePdf(3).bytes);
    const auto rows = first->BuildRows(wxString::FromUTF8((dir / "a.pdf").string()), ConvertOptions);
    EXPECT_EQ((*rows)[0].cells_[COL_TOTAL_PAGES], "3");
    first.reset();
    EXPECT_EQ(DomainConvertPDF::GetP2xService(), nullptr);
}

TEST(PdfConversion, NamedCellsReadTheirColumns) {
    DomainConvertPDF convert;
    wxArrayString cells;
    for (int c = 0; c < COL_COUNT; ++c)
        cells.Add(wxString::Format("cell%d", c));
    EXPECT_EQ(convert.GetOutputName(cells), "cell8");
    EXPECT_EQ(convert.GetSourcePath(cells), "cell6");
    EXPECT_EQ(convert.GetSourceDir(cells), "cell7");
    EXPECT_EQ(convert.GetOutputType(cells), "cell3");
    EXPECT_EQ(convert.GetSelectedPages(cells), "cell4");
    EXPECT_EQ(convert.GetTotalPages(cells), "cell2");
    EXPECT_EQ(convert.GetEffectiveRange("1-3", "9"), "1-3");
    // A short row reads empty cells instead of running off its end.
    EXPECT_EQ(convert.GetSourcePath(wxArrayString(2, "x")), "");
}

}  // namespace
