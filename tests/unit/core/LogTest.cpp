#include <gtest/gtest.h>
#include <windows.h>

#include <regex>

#include "core/Log.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using testing::SandboxTest;

class LogTest : public SandboxTest {};

TEST_F(LogTest, LineIsStampTabMessageCrLfAndMessagesAreKeptVerbatim) {
  rs_.Now = [] { return platform::LocalTime{2016, 3, 7, 14, 5, 9}; };
  WriteLog(rs_, "MSG : first");
  WriteLog(rs_, "");
  WriteLog(rs_, "two\r\nlines  ");
  EXPECT_EQ(platform::ReadFileBytes(rs_.LogFilePath),
            "03/07/2016 14:05:09\tMSG : first\r\n"
            "03/07/2016 14:05:09\t\r\n"
            "03/07/2016 14:05:09\ttwo\r\nlines  \r\n");
}

TEST_F(LogTest, RealClockStampHasFixedSeparators) {
  WriteLog(rs_, "x");
  const std::string text = platform::ReadFileBytes(rs_.LogFilePath);
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\tx\r\n)"))) << text;
}

TEST_F(LogTest, MissingFolderLosesOnlyTheFirstLine) {
  platform::DeleteFolderTree(rs_.InstallPath + "ApplicationLog", true);
  WriteLog(rs_, "lost");
  ASSERT_TRUE(platform::FileExists(rs_.LogFilePath));
  EXPECT_EQ(platform::FileSize(rs_.LogFilePath), 0u);
  WriteLog(rs_, "kept");
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"kept"});
}

TEST_F(LogTest, LogThatCannotBeHadIsReportedToTheCaller) {
  EXPECT_TRUE(WriteLog(rs_, "written"));
  EXPECT_FALSE(rs_.LogUnusable);

  // A file where the log folder belongs: neither the folder nor the log can be made.
  platform::DeleteFolderTree(rs_.InstallPath + "ApplicationLog\\kXPRLog", true);
  WriteFile("ApplicationLog\\kXPRLog", "in the way");
  EXPECT_FALSE(WriteLog(rs_, "lost"));
  EXPECT_TRUE(rs_.LogUnusable);
  EXPECT_EQ(ReadFile("ApplicationLog\\kXPRLog"), "in the way");

  // A log path not set yet has nowhere to go either.
  RunState blank;
  blank.InstallPath = rs_.InstallPath;
  blank.LogFilePath = "  ";
  EXPECT_FALSE(WriteLog(blank, "before the path"));
  EXPECT_TRUE(blank.LogUnusable);
}

TEST_F(LogTest, SizeRuleDeletesAtOneMebibyteAndKeepsBelow) {
  const std::string below(1048575, 'a');
  platform::WriteFileBytes(rs_.LogFilePath, below);
  EXPECT_TRUE(ApplyLogSizeLimit(rs_));
  EXPECT_EQ(platform::FileSize(rs_.LogFilePath), 1048575u);

  platform::WriteFileBytes(rs_.LogFilePath, below + "a");
  platform::SetReadOnly(rs_.LogFilePath, true);
  EXPECT_TRUE(ApplyLogSizeLimit(rs_));
  ASSERT_TRUE(platform::FileExists(rs_.LogFilePath));
  EXPECT_EQ(platform::FileSize(rs_.LogFilePath), 0u);
  WriteLog(rs_, "after");
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"after"});
}

TEST_F(LogTest, DiscardedLogTouchesNoFileOrFolder) {
  // An oversized log, a missing log and a blank log path: each would make the file writer create
  // or replace something. With the lines discarded all three stay as they are.
  const std::string big(1048576, 'a');
  platform::WriteFileBytes(rs_.LogFilePath, big);
  rs_.Log = LogTarget::Discard;
  ApplyLogSizeLimit(rs_);
  WriteLog(rs_, "MSG : not written");
  EXPECT_EQ(platform::ReadFileBytes(rs_.LogFilePath), big);

  platform::DeleteFolderTree(rs_.InstallPath + "ApplicationLog", true);
  WriteLog(rs_, "MSG : not written");
  rs_.LogFilePath.clear();
  WriteLog(rs_, "MSG : not written");
  EXPECT_TRUE(CreateLogFolder(rs_));
  EXPECT_FALSE(platform::FolderExists(rs_.InstallPath + "ApplicationLog"));
}

TEST_F(LogTest, SizeRuleKeepsALogThatAnotherProgramHolds) {
  // Another program holds the log without sharing it: it cannot be deleted, and the run goes on
  // with it rather than ending at its upkeep.
  const std::string over(1048576, 'a');
  platform::WriteFileBytes(rs_.LogFilePath, over);
  HANDLE held = CreateFileW(platform::Widen(rs_.LogFilePath).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ApplyLogSizeLimit(rs_);
  WriteLog(rs_, "lost while held");
  CloseHandle(held);
  EXPECT_EQ(platform::FileSize(rs_.LogFilePath), 1048576u);
}

TEST_F(LogTest, NonAsciiTextIsWrittenInTheAnsiCodePage) {
  WriteLog(rs_, "caf\xC3\xA9");  // UTF-8 inside the program
  const std::string bytes = platform::ReadFileBytes(rs_.LogFilePath);
  EXPECT_NE(bytes.find("caf\xE9\r\n"), std::string::npos);
}

TEST_F(LogTest, FormatMessageKnownAndUnknownCodes) {
  const std::string two = fncFormatMessage(rs_, 2);
  ASSERT_GT(two.size(), 2u);
  EXPECT_EQ(two.substr(0, 2), "2-");
  EXPECT_NE(two.back(), '\n');
  EXPECT_NE(two.back(), '\r');
  EXPECT_EQ(fncFormatMessage(rs_, 987654), "987654");
}

TEST(TrapLineTest, StandardForm) {
  EXPECT_EQ(TrapLine(Failure(91, "Object variable not set"), "GetSections", "Utility"),
            "ERR : 91 (Object variable not set) in procedure GetSections of Module Utility");
  EXPECT_EQ(TrapLine(Failure(-2147024894, "x"), "P", "M"), "ERR : -2147024894 (x) in procedure P of Module M");
}

}  // namespace
}  // namespace kdht
