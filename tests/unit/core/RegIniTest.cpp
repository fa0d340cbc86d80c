#include <gtest/gtest.h>

#include "core/RegIni.h"
#include "platform/FileSystem.h"
#include "platform/Registry.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using platform::Hive;
using testing::RegistrySandbox;
using testing::SandboxTest;

class RegIniTest : public SandboxTest {
 protected:
  RegistrySandbox reg_;
  std::string Read(const std::string& name, int type) {
    return ReadReg(rs_, Hive::CurrentUser, reg_.path(), name, type);
  }
};

TEST_F(RegIniTest, ReadRegStringAndNumberValues) {
  platform::RegKey key;
  ASSERT_EQ(key.Create(Hive::CurrentUser, reg_.path()), 0);
  key.SetString("Path", "C:\\Agent\\");
  key.SetString("Empty", "");
  key.SetDword("Count", 300);
  key.SetDword("Negative", static_cast<std::uint32_t>(-5));
  key.SetString("Expand", "%TEMP%", platform::kRegExpandSz);

  EXPECT_EQ(Read("Path", 1), "C:\\Agent\\");
  EXPECT_EQ(Read("Empty", 1), "");
  EXPECT_EQ(Read("Count", 4), "300");
  EXPECT_EQ(Read("Negative", 4), "-5");
  EXPECT_EQ(Read("Missing", 1), "");
  EXPECT_EQ(Read("Missing", 4), "");
  EXPECT_EQ(Read("Path", 2), "") << "only types 1 and 4 are read";
  EXPECT_EQ(ReadReg(rs_, Hive::CurrentUser, reg_.path() + "\\NoSuchKey", "Path", 1), "");
  EXPECT_TRUE(LogMessages().empty()) << "absent values are not failures";

  // GetRegValueEx reads plain strings only.
  platform::RegKey open;
  ASSERT_EQ(open.Open(Hive::CurrentUser, reg_.path(), false), 0);
  EXPECT_EQ(GetRegValueEx(rs_, open, "Path"), "C:\\Agent\\");
  EXPECT_EQ(GetRegValueEx(rs_, open, "Expand"), "");
  EXPECT_EQ(GetRegValueEx(rs_, open, "Count"), "");
}

TEST_F(RegIniTest, ReadsTheThirtyTwoBitView) {
  // The same path in the two views holds different values: the 32-bit one is what is read.
  const std::string path = "Software\\kdht-view-test";
  platform::DeleteRegTree(Hive::CurrentUser, path, platform::RegView::Wow32);
  platform::RegKey k32;
  ASSERT_EQ(k32.Create(Hive::CurrentUser, path, platform::RegView::Wow32), 0);
  k32.SetString("V", "from32");
  EXPECT_EQ(ReadReg(rs_, Hive::CurrentUser, path, "V", 1), "from32");
  platform::DeleteRegTree(Hive::CurrentUser, path, platform::RegView::Wow32);
}

TEST_F(RegIniTest, StripNullsCutsAtTheFirstNul) {
  EXPECT_EQ(StripNulls(rs_, std::string("abc\0def", 7)), "abc");
  EXPECT_EQ(StripNulls(rs_, ""), "");
  EXPECT_EQ(StripNulls(rs_, "plain"), "plain");
}

TEST_F(RegIniTest, SectionsAndKeysOfIniFiles) {
  const std::string ini = rs_.InstallPath + "test.ini";
  WriteFile("test.ini", "[A]\r\nk=1\r\n[B]\r\nlong=" + std::string(300, 'x') + "\r\nnum=42\r\nword=abc\r\n");
  EXPECT_EQ(GetSections(rs_, ini), std::string("A\0B\0", 4));
  EXPECT_EQ(GetSections(rs_, rs_.InstallPath + "missing.ini"), "");
  EXPECT_EQ(GetKeyValue(rs_, "B", "long", ini, false), std::string(254, 'x'));
  EXPECT_EQ(GetKeyValue(rs_, "B", "num", ini, true), "42");
  EXPECT_EQ(GetKeyValue(rs_, "B", "word", ini, true), "0");
  EXPECT_EQ(GetKeyValue(rs_, "B", "missing", ini, true), "0");
  EXPECT_EQ(GetKeyValue(rs_, "C", "k", ini, false), "");
}

TEST_F(RegIniTest, SetKeyValueCreatesFilesButNotFolders) {
  const std::string ini = rs_.InstallPath + "new.ini";
  EXPECT_NE(SetKeyValue(rs_, "S", "K", "V", ini), 0);
  EXPECT_EQ(GetKeyValue(rs_, "S", "K", ini, false), "V");
  EXPECT_EQ(SetKeyValue(rs_, "S", "K", "V", rs_.InstallPath + "NoFolder\\x.ini"), 0);
  EXPECT_FALSE(platform::FolderExists(rs_.InstallPath + "NoFolder"));
}

}  // namespace
}  // namespace kdht
