// Files replaced in one step: what a reader finds after a write that worked and after one that
// failed, and what is left in the folder.
#include "platform/OneStepFile.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/Failure.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "support/TestSupport.h"

namespace kdht {
namespace {

using testing::TempFolder;

void Put(const std::string& path, const std::string& bytes) { platform::WriteFileBytes(path, bytes); }
std::string Get(const std::string& path) { return platform::ReadFileBytes(path); }

// Holds a file open without sharing, as another program may.
class HeldOpen {
 public:
  explicit HeldOpen(const std::string& path)
      : h_(CreateFileW(platform::Widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~HeldOpen() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  bool held() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

TEST(OneStepFile, WritesAndCopiesReplaceTheWholeFileAndLeaveNothingBeside) {
  TempFolder dir;
  const std::string file = dir.File("kDHMenu.xml");
  Put(file, std::string(10000, 'o'));
  platform::WriteFileInOneStep(file, "new");
  EXPECT_EQ(Get(file), "new");

  const std::string source = dir.File("staged.xml");
  Put(source, std::string(3000, 's'));
  platform::CopyFileInOneStep(source, file);
  EXPECT_EQ(Get(file), std::string(3000, 's'));
  EXPECT_EQ(Get(source), std::string(3000, 's'));

  platform::WriteFileInOneStep(dir.File("fresh.dat"), "");
  EXPECT_TRUE(platform::FileExists(dir.File("fresh.dat")));
  EXPECT_EQ(platform::ListFiles(dir.path()).size(), 3u);
}

TEST(OneStepFile, AFailedWriteKeepsTheOldContentAndRemovesItsTemporaryFile) {
  TempFolder dir;
  const std::string file = dir.File("kDHMenu.xml");
  const std::string old = "<old/>";

  struct Case {
    const char* name;
    void (*prepare)(const std::string& file);
    void (*undo)(const std::string& file);
  };
  const Case cases[] = {
      {"read-only file", [](const std::string& f) { platform::SetReadOnly(f, true); },
       [](const std::string& f) { platform::SetReadOnly(f, false); }},
      // The write's target folder is gone: nothing can be created there.
      {"missing folder", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    const std::string target = c.prepare ? file : dir.File("gone\\kDHMenu.xml");
    if (c.prepare) {
      Put(file, old);
      c.prepare(file);
    }
    EXPECT_THROW(platform::WriteFileInOneStep(target, "new"), Failure) << c.name;
    EXPECT_THROW(platform::CopyFileInOneStep(dir.path() + "\\nothing.xml", target), Failure) << c.name;
    if (c.prepare) {
      EXPECT_EQ(Get(file), old) << c.name;
      c.undo(file);
    }
    EXPECT_FALSE(platform::FileExists(platform::TemporaryNameFor(target))) << c.name;
  }

  // A file another program holds open without sharing is not replaced, on Windows and Wine.
  Put(file, old);
  {
    HeldOpen holder(file);
    ASSERT_TRUE(holder.held());
    EXPECT_THROW(platform::WriteFileInOneStep(file, "new"), Failure);
  }
  EXPECT_EQ(Get(file), old);
  EXPECT_FALSE(platform::FileExists(platform::TemporaryNameFor(file)));

  // A leftover of a write that was cut off (even a read-only one) does not stand in the way.
  Put(platform::TemporaryNameFor(file), "half");
  platform::SetReadOnly(platform::TemporaryNameFor(file), true);
  platform::WriteFileInOneStep(file, "whole");
  EXPECT_EQ(Get(file), "whole");
  EXPECT_FALSE(platform::FileExists(platform::TemporaryNameFor(file)));
}

TEST(OneStepFile, AnEditIsAppliedWholeOrNotAtAll) {
  TempFolder dir;
  const std::string ini = dir.File("kDHTStatus.ini");
  Put(ini, "[kDHT]\r\nTempId=1\r\n");

  const auto write = [](const std::string& copy, const char* key, const char* value) {
    return WritePrivateProfileStringW(L"kDHT", platform::Widen(key).c_str(), platform::Widen(value).c_str(),
                                      platform::Widen(copy).c_str()) != 0;
  };
  // Given up half-way: the file is as it was.
  EXPECT_FALSE(platform::EditFileInOneStep(ini, [&](const std::string& copy) {
    EXPECT_NE(copy, ini);
    write(copy, "TempId", "2");
    return false;
  }));
  EXPECT_EQ(Get(ini), "[kDHT]\r\nTempId=1\r\n");
  EXPECT_FALSE(platform::FileExists(platform::TemporaryNameFor(ini)));

  EXPECT_TRUE(platform::EditFileInOneStep(
      ini, [&](const std::string& copy) { return write(copy, "TempId", "2") && write(copy, "TempVer", "3"); }));
  const std::string after = Get(ini);
  EXPECT_NE(after.find("TempId=2"), std::string::npos) << after;
  EXPECT_NE(after.find("TempVer=3"), std::string::npos) << after;
  EXPECT_FALSE(platform::FileExists(platform::TemporaryNameFor(ini)));

  // A missing file is made by the edit; the copy it starts from is empty.
  const std::string fresh = dir.File("new.ini");
  EXPECT_TRUE(platform::EditFileInOneStep(fresh, [&](const std::string& copy) {
    EXPECT_FALSE(platform::FileExists(copy));
    return write(copy, "A", "1");
  }));
  EXPECT_NE(Get(fresh).find("A=1"), std::string::npos);
}

}  // namespace
}  // namespace kdht
