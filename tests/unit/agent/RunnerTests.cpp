// The runner stand-ins: what they record about how they were started, and whether they stay.
#include <gtest/gtest.h>

#include <lmcons.h>

#include "AgentTestSupport.h"

namespace {

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

TEST(RunnerStandIns, WaitingRunnersRecordTheirStartAndStayUntilEnded) {
  for (const wchar_t* name : {L"kINDHM", L"kDHM"}) {
    SCOPED_TRACE(agent_test::Utf8(name));
    agent_test::ScopedFile record(agent_test::InBin(std::wstring(name) + L"-runs.log"));
    const std::wstring commandLine = Quoted(agent_test::InBin(std::wstring(name) + L".exe")) + L" /auto \"two words\"";

    agent_test::ChildProcess runner(commandLine);
    ASSERT_TRUE(runner.started()) << GetLastError();
    const std::string lines = agent_test::WaitForLines(record.path(), 1, 20000);
    EXPECT_EQ(lines, "start\t" + std::to_string(runner.id()) + "\t" + agent_test::Utf8(commandLine) + "\r\n");
    EXPECT_EQ(WaitForSingleObject(runner.handle(), 1000), static_cast<DWORD>(WAIT_TIMEOUT)) << "ended by itself";
  }
}

TEST(RunnerStandIns, UpdaterRecordsUserAndCommandLineThenExitsZero) {
  agent_test::ScopedFile record(agent_test::InBin(L"kRSSUpd-runs.log"));
  wchar_t user[UNLEN + 1] = {};
  DWORD size = UNLEN + 1;
  ASSERT_TRUE(GetUserNameW(user, &size));
  // A tab in an argument must not split the record.
  const std::wstring commandLine = Quoted(agent_test::InBin(L"kRSSUpd.exe")) + L" -update \"a\tb\"";

  agent_test::ChildProcess updater(commandLine);
  ASSERT_TRUE(updater.started()) << GetLastError();
  ASSERT_EQ(WaitForSingleObject(updater.handle(), 30000), WAIT_OBJECT_0);
  DWORD exitCode = 1;
  ASSERT_TRUE(GetExitCodeProcess(updater.handle(), &exitCode));
  EXPECT_EQ(exitCode, 0u);

  std::wstring recorded = commandLine;
  recorded.replace(recorded.find(L'\t'), 1, L"\\t");
  EXPECT_EQ(agent_test::ReadBytes(record.path()),
            std::optional<std::string>("run\t" + std::to_string(updater.id()) + "\t" + agent_test::Utf8(user) + "\t" +
                                       agent_test::Utf8(recorded) + "\r\n"));
}

}  // namespace
