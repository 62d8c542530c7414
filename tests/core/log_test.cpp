// The daily log: one file per calendar day, entries appended in call order.
#include <gtest/gtest.h>
#include <wx/dir.h>

#include "common/app_util.h"
#include "common/file_util.h"
#include "support/temp_home.h"

namespace {

using DailyLog = TempHomeTest;

const wxDateTime kMay22(22, wxDateTime::May, 2014, 9, 5, 7);
const wxDateTime kMay23(23, wxDateTime::May, 2014, 0, 0, 1);

TEST_F(DailyLog, PathIsTheDateBelowTheLogFolder) {
    const wxString path = FileUtil::GetLogFilePath(kMay22);
    EXPECT_EQ(path, AppUtil::GetUserDataDir() + "/Log/20140522.log");
    EXPECT_TRUE(wxDir::Exists(AppUtil::GetUserDataDir() + "/Log"));
}

TEST_F(DailyLog, EntriesOfTwoDaysGoToTwoFiles) {
    FileUtil::WriteLog("Begin\n", kMay22);
    FileUtil::WriteLog("a.pdf\n", kMay22);
    FileUtil::WriteLog("Finish\n", kMay23);
    EXPECT_EQ(TempHome::ReadFile(FileUtil::GetLogFilePath(kMay22)), "# 09:05:07 Begin\n# 09:05:07 a.pdf\n");
    EXPECT_EQ(TempHome::ReadFile(FileUtil::GetLogFilePath(kMay23)), "# 00:00:01 Finish\n");
}

TEST_F(DailyLog, EmptyMessageWritesOneSeparatorLine) {
    FileUtil::WriteLog("", kMay22);
    EXPECT_EQ(TempHome::ReadFile(FileUtil::GetLogFilePath(kMay22)),
              "# .............................................\n");
}

TEST_F(DailyLog, MessageWithoutLineEndContinuesTheLine) {
    FileUtil::WriteLog("one", kMay22);
    FileUtil::WriteLog("two\n", kMay22);
    EXPECT_EQ(TempHome::ReadFile(FileUtil::GetLogFilePath(kMay22)), "# 09:05:07 one# 09:05:07 two\n");
}

TEST_F(DailyLog, TextIsWrittenAsUtf8) {
    FileUtil::WriteLog(wxString::FromUTF8("Ärger €.pdf\n"), kMay22);
    EXPECT_EQ(TempHome::ReadFile(FileUtil::GetLogFilePath(kMay22)), "# 09:05:07 Ärger €.pdf\n");
}

TEST_F(DailyLog, TodaysEntryGoesToTodaysFile) {
    FileUtil::WriteLog("now\n");
    const std::string text = TempHome::ReadFile(FileUtil::GetLogFilePath());
    EXPECT_EQ(text.size(), std::string("# HH:MM:SS now\n").size()) << text;
}

TEST_F(DailyLog, UnwritableLogIsDroppedSilently) {
    // A folder where the day's file should be: the entry cannot be written.
    const wxString path = FileUtil::GetLogFilePath(kMay22);
    ASSERT_TRUE(TempHome::MakeDirs(path));
    FileUtil::WriteLog("lost\n", kMay22);
    EXPECT_TRUE(wxDir::Exists(path));
}

}  // namespace
