// The process wrappers against the test program itself.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/FileSys.h"
#include "platform/Failure.h"
#include "platform/Processes.h"
#include "platform/Shell.h"
#include "platform/Text.h"

namespace kdht::platform {
namespace {

std::string OwnFileName() { return FileSystemService::GetFileName(ExecutablePath()); }

TEST(Processes, TheSnapshotAndTheIdTableBothListThisProcess) {
  const std::uint32_t self = CurrentProcessId();
  ProcessSnapshot snapshot(kSnapAll);
  std::optional<ProcessEntry> own;
  int entries = 0;
  for (auto e = snapshot.First(); e; e = snapshot.Next()) {
    ++entries;
    if (e->processId == self) own = e;
  }
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(Upper(own->exeName), Upper(OwnFileName()));
  EXPECT_GT(entries, 1);

  const auto ids = EnumerateProcessIds(1024);
  EXPECT_NE(std::find(ids.begin(), ids.end(), self), ids.end());
  // A table too small for every process gets as many ids as fit.
  EXPECT_LE(EnumerateProcessIds(1).size(), 1u);
}

TEST(Processes, AnOpenedProcessNamesItsExecutable) {
  const ProcessHandle self = OpenProcessById(CurrentProcessId(), kProcessAllAccess, false);
  ASSERT_TRUE(self.valid());
  EXPECT_EQ(Upper(FirstModuleBaseName(self)), Upper(OwnFileName()));
  EXPECT_FALSE(WaitForExit(self, 0));

  const ProcessHandle none = OpenProcessById(0, kProcessAllAccess, false);
  EXPECT_FALSE(none.valid());
  EXPECT_EQ(FirstModuleBaseName(none), "");
  EXPECT_FALSE(Terminate(none, 0));
  EXPECT_FALSE(OpenToken(none, kTokenAllAccess).valid());
}

TEST(Processes, ImpersonationEndsWithItsScope) {
  const ProcessHandle self = OpenProcessById(CurrentProcessId(), kProcessAllAccess, false);
  const TokenHandle token = OpenToken(self, kTokenAllAccess);
  ASSERT_TRUE(token.valid());
  ASSERT_FALSE(ThreadIsImpersonating());
  {
    const Impersonation asUser(token);
    EXPECT_TRUE(asUser.active());
    EXPECT_TRUE(ThreadIsImpersonating());
  }
  EXPECT_FALSE(ThreadIsImpersonating());

  // Leaving the scope by a failure reverts too.
  try {
    const Impersonation asUser(token);
    ASSERT_TRUE(ThreadIsImpersonating());
    throw Failure(5, "test");
  } catch (const Failure&) {
  }
  EXPECT_FALSE(ThreadIsImpersonating());

  const Impersonation withoutToken{TokenHandle()};
  EXPECT_FALSE(withoutToken.active());
  EXPECT_FALSE(ThreadIsImpersonating());
}

TEST(Processes, HandleOwnersMoveAndRelease) {
  ProcessHandle a = OpenProcessById(CurrentProcessId(), kProcessAllAccess, false);
  ASSERT_TRUE(a.valid());
  void* raw = a.get();
  ProcessHandle b = std::move(a);
  EXPECT_FALSE(a.valid());  // NOLINT(bugprone-use-after-move): the moved-from owner is empty
  EXPECT_EQ(b.get(), raw);
  b.reset();
  EXPECT_FALSE(b.valid());
}

}  // namespace
}  // namespace kdht::platform
