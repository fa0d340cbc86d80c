// The runner stand-ins: what they record about how they were started, and whether they stay.
#include <gtest/gtest.h>

#include <lmcons.h>

#include "AgentTestSupport.h"
#include "platform/Text.h"
#include "support/ChildProcesses.h"
#include "support/TestSupport.h"

namespace {

using kdht::platform::Narrow;
using kdht::testing::ChildProcess;
using kdht::testing::InBin;

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

TEST(RunnerStandIns, WaitingRunnersRecordTheirStartAndStayUntilEnded) {
  for (const std::string name : {"kINDHM", "kDHM"}) {
    SCOPED_TRACE(name);
    agent_test::ScopedFile record(InBin(name + "-runs.log"));
    const std::string commandLine = Quoted(InBin(name + ".exe")) + " /auto \"two words\"";

    ChildProcess runner(commandLine);
    ASSERT_TRUE(runner.started()) << GetLastError();
    const std::string lines = agent_test::WaitForLines(record.path(), 1, 20000);
    EXPECT_EQ(lines, "start\t" + std::to_string(runner.id()) + "\t" + commandLine + "\r\n");
    EXPECT_EQ(WaitForSingleObject(runner.handle(), 1000), static_cast<DWORD>(WAIT_TIMEOUT)) << "ended by itself";
  }
}

TEST(RunnerStandIns, UpdaterRecordsUserAndCommandLineThenExitsZero) {
  agent_test::ScopedFile record(InBin("kRSSUpd-runs.log"));
  wchar_t user[UNLEN + 1] = {};
  DWORD size = UNLEN + 1;
  ASSERT_TRUE(GetUserNameW(user, &size));
  // A tab in an argument must not split the record.
  const std::string commandLine = Quoted(InBin("kRSSUpd.exe")) + " -update \"a\tb\"";

  ChildProcess updater(commandLine);
  ASSERT_TRUE(updater.started()) << GetLastError();
  ASSERT_EQ(WaitForSingleObject(updater.handle(), 30000), WAIT_OBJECT_0);
  DWORD exitCode = 1;
  ASSERT_TRUE(GetExitCodeProcess(updater.handle(), &exitCode));
  EXPECT_EQ(exitCode, 0u);

  std::string recorded = commandLine;
  recorded.replace(recorded.find('\t'), 1, "\\t");
  EXPECT_EQ(kdht::testing::ReadBytes(record.path()),
            std::optional<std::string>("run\t" + std::to_string(updater.id()) + "\t" + Narrow(user) + "\t" +
                                       recorded + "\r\n"));
}

}  // namespace
