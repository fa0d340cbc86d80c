#include <gtest/gtest.h>

#include "core/CleanUp.h"
#include "core/Paths.h"
#include "core/SafeNames.h"
#include "platform/FileSystem.h"
#include "platform/Shell.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using testing::SandboxTest;

class PathsTest : public SandboxTest {};

TEST_F(PathsTest, ShortPathKeepsTrailingBackslashAndIsEmptyForMissingPaths) {
  platform::MakeSureDirectoryPathExists(rs_.InstallPath + "Long Folder Name\\");
  const std::string shortForm = GetShortPath(rs_, rs_.InstallPath + "Long Folder Name\\");
  ASSERT_FALSE(shortForm.empty());
  EXPECT_EQ(shortForm.back(), '\\');
  EXPECT_EQ(shortForm.find(' '), std::string::npos) << shortForm;
  EXPECT_TRUE(platform::FolderExists(shortForm));
  EXPECT_EQ(GetShortPath(rs_, rs_.InstallPath + "missing\\"), "");
}

TEST_F(PathsTest, SystemFolderAndVersions) {
  const std::string system = GetSpecialfolder(rs_, kCsidlSystem);
  ASSERT_FALSE(system.empty());
  EXPECT_NE(system.back(), '\\');
  EXPECT_TRUE(platform::FolderExists(system));

  WriteFile("plain.exe", "not a program");
  EXPECT_EQ(FileVerInfo(rs_, rs_.InstallPath + "plain.exe"), "");

  // The program's own resource carries a build number above 32767: printed unsigned.
  const std::string exe = FileSystemService::GetParentFolderName(platform::ExecutablePath()) + "\\kDHT.exe";
  ASSERT_TRUE(platform::FileExists(exe));
  EXPECT_EQ(FileVerInfo(rs_, exe), KDHT_VERSION);
}

TEST_F(PathsTest, CopyFilesAndFoldersMergeAndStopAtAReadOnlyFile) {
  WriteFile("src\\a.txt", "A");
  WriteFile("src\\b.txt", "B");
  WriteFile("src\\sub\\c.txt", "C");
  WriteFile("dst\\a.txt", "old");
  WriteFile("dst\\sub\\keep.txt", "K");
  EXPECT_TRUE(CopyFiles(rs_, rs_.InstallPath + "src\\", rs_.InstallPath + "dst\\"));
  EXPECT_TRUE(CopyFolders(rs_, rs_.InstallPath + "src\\", rs_.InstallPath + "dst\\"));
  EXPECT_EQ(ReadFile("dst\\a.txt"), "A");
  EXPECT_EQ(ReadFile("dst\\sub\\c.txt"), "C");
  EXPECT_EQ(ReadFile("dst\\sub\\keep.txt"), "K");

  WriteFile("src\\a.txt", "A2");
  WriteFile("src\\b.txt", "B2");
  platform::SetReadOnly(rs_.InstallPath + "dst\\a.txt", true);
  platform::SetReadOnly(rs_.InstallPath + "dst\\b.txt", true);
  EXPECT_FALSE(CopyFiles(rs_, rs_.InstallPath + "src\\", rs_.InstallPath + "dst\\"));
  EXPECT_EQ(CountLogged("ERR : "), 1);
  EXPECT_EQ(CountLogged("ERR : 5 ("), 1);
  ASSERT_FALSE(LogMessages().empty());
  EXPECT_NE(LogMessages().back().find(") in procedure CopyFiles of Module modMain"), std::string::npos);
  platform::SetReadOnly(rs_.InstallPath + "dst\\a.txt", false);
  platform::SetReadOnly(rs_.InstallPath + "dst\\b.txt", false);

  platform::MakeSureDirectoryPathExists(rs_.InstallPath + "empty\\");
  EXPECT_TRUE(CopyFiles(rs_, rs_.InstallPath + "empty\\", rs_.InstallPath + "dst\\"));
  EXPECT_TRUE(CopyFolders(rs_, rs_.InstallPath + "empty\\", rs_.InstallPath + "dst\\"));
}

class CleanUpTest : public SandboxTest {};

TEST_F(CleanUpTest, PreProcessRemovesOnlyTheStagingArea) {
  CleanUpPreProcess(rs_);
  EXPECT_TRUE(LogMessages().empty());
  WriteFile("kXPR\\Herald\\PreProcessScripts\\Action_1_XPR\\XPR_Script.xml", "x");
  WriteFile("kXPR\\Herald\\Pre_kDHMenu.xml", "x");
  WriteFile("kXPR\\Herald\\kDHMenu.xml", "keep");
  platform::SetReadOnly(rs_.InstallPath + "kXPR\\Herald\\Pre_kDHMenu.xml", true);
  CleanUpPreProcess(rs_);
  EXPECT_FALSE(Exists("kXPR\\Herald\\PreProcessScripts"));
  EXPECT_FALSE(Exists("kXPR\\Herald\\Pre_kDHMenu.xml"));
  EXPECT_TRUE(Exists("kXPR\\Herald\\kDHMenu.xml"));
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                               "MSG : Deleting  folder " + rs_.InstallPath + "kXPR\\Herald\\PreProcessScripts",
                               "MSG : Deleting file " + rs_.InstallPath + "kXPR\\Herald\\Pre_kDHMenu.xml"}));
}

TEST_F(CleanUpTest, PostProcessOnAnEmptyFeatureFolderLogsTwoErrors) {
  platform::MakeSureDirectoryPathExists(rs_.InstallPath + "kXPR\\Herald\\");
  CleanUpPostProcess(rs_);
  const auto lines = LogMessages();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "MSG : Deleting All files and folders from " + rs_.InstallPath + "kXPR\\Herald");
  EXPECT_EQ(lines[1].rfind("ERR : 53 (", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find(") Erl:23 in procedure CleanUpPostProcess of Module modMain"), std::string::npos);
  EXPECT_EQ(lines[2].rfind("ERR : 76 (", 0), 0u) << lines[2];
  EXPECT_TRUE(Exists("kXPR\\Herald"));
}

TEST_F(CleanUpTest, PostProcessKeepsTheIconsAside) {
  WriteFile("kXPR\\Herald\\kDHMenu.xml", "m");
  WriteFile("kXPR\\Herald\\kDHMenu.dat", "d");
  WriteFile("kXPR\\Herald\\Icon\\logo.ico", "icon");
  WriteFile("kXPR\\Herald\\Action_3_XPR\\XPR_Script.xml", "s");
  WriteFile("kXPR\\Herald\\other.txt", "o");
  platform::SetReadOnly(rs_.InstallPath + "kXPR\\Herald\\other.txt", true);
  CleanUpPostProcess(rs_);
  EXPECT_EQ(CountLogged("ERR"), 0);
  EXPECT_FALSE(Exists("kXPR\\Herald\\kDHMenu.xml"));
  EXPECT_FALSE(Exists("kXPR\\Herald\\kDHMenu.dat"));
  EXPECT_FALSE(Exists("kXPR\\Herald\\other.txt"));
  EXPECT_FALSE(Exists("kXPR\\Herald\\Action_3_XPR"));
  EXPECT_EQ(ReadFile("Herald\\logo.ico"), "icon");
  EXPECT_FALSE(Exists("kXPR\\Herald\\Icon")) << "no restore source: the feature folder is left empty";

  // With a restore source the icon folder comes back with that content.
  WriteFile("Herald\\icon\\restored.ico", "r");
  WriteFile("kXPR\\Herald\\x.txt", "x");
  CleanUpPostProcess(rs_);
  EXPECT_EQ(ReadFile("kXPR\\Herald\\Icon\\restored.ico"), "r");
}

TEST_F(CleanUpTest, DataFileStaysWhenTheMenuIsAbsent) {
  WriteFile("kXPR\\Herald\\kDHMenu.dat", "d");
  platform::DeleteFolderTree(rs_.InstallPath + "kXPR\\Herald", true);
  WriteFile("kXPR\\kDHMenu.dat", "d");
  CleanUpPostProcess(rs_);
  EXPECT_TRUE(LogMessages().empty()) << "no feature folder: nothing to say";
}

TEST(SafeNamesTest, RefusesNamesThatLeaveTheFolder) {
  for (const char* bad : {"", "..", "a\\b", "a/b", "c:x", "x..y", "CON", "nul.txt", "com1", "LPT9.dat", "name.",
                          "name ", "a*b", "a?b", "a\"b", "a<b", "a|b", "tab\tname"}) {
    EXPECT_FALSE(IsSafeFileName(bad)) << bad;
  }
  for (const char* good : {"12", "logo.ico", "Action one", "CONSOLE.txt", "caf\xC3\xA9.png"}) {
    EXPECT_TRUE(IsSafeFileName(good)) << good;
  }
  EXPECT_TRUE(IsInsideFolder("C:\\a\\b\\c.txt", "C:\\a\\b"));
  EXPECT_FALSE(IsInsideFolder("C:\\a\\b\\..\\c.txt", "C:\\a\\b"));
  EXPECT_FALSE(IsInsideFolder("C:\\a\\bc\\x", "C:\\a\\b"));
  EXPECT_FALSE(IsInsideFolder("C:\\a\\b", "C:\\a\\b"));
}

}  // namespace
}  // namespace kdht
