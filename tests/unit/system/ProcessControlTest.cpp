// Finding, ending and starting processes, against copies of the agent's runner stand-in.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>

#include "platform/FileSystem.h"
#include "platform/Processes.h"
#include "platform/Clock.h"
#include "platform/Text.h"
#include "support/TestSupport.h"
#include "system/ProcessControl.h"
#include "system/SystemTestSupport.h"

namespace kdht::testing {
namespace {

TEST(ProcessNames, TheListIsSplitTrimmedAndMatchedAsWholeNames) {
  struct Case {
    const char* list;
    const char* baseName;
    bool listed;
  };
  const Case cases[] = {
      {"KINDHM.EXE", "kINDHM.exe", true},
      {"kindhm.exe", "KINDHM.EXE", true},
      {" notepad.exe , KINDHM.EXE ", "kINDHM.exe", true},
      {"KINDHM.EXE", "DHM.EXE", false},      // part of a listed name
      {"KINDHM.EXE", "KINDHM.EXE2", false},  // longer than a listed name
      {"KINDHM.EXE,KDHM.EXE", "kDHM.exe", true},
      {"KINDHM.EXE,KDHM.EXE", ",", false},
      {"", "kINDHM.exe", false},
      {" , ,", "", false},
      {"KINDHM.EXE", "", false},  // a process whose name cannot be read
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsListedProcess(c.baseName, ProcessNameList(c.list)), c.listed)
        << "list \"" << c.list << "\", process \"" << c.baseName << "\"";
  }
  EXPECT_EQ(ProcessNameList(" a.exe ,, B.Exe"), (std::vector<std::string>{"A.EXE", "B.EXE"}));
}

TEST(ProcessNames, AProgramPathWithABlankIsQuotedInItsCommandLine) {
  EXPECT_EQ(CommandLineFor("C:\\A\\kXPR\\kINDHM.exe", "SERVICE"), "C:\\A\\kXPR\\kINDHM.exe SERVICE");
  EXPECT_EQ(CommandLineFor("C:\\My App\\kINDHM.exe", "SERVICE"), "\"C:\\My App\\kINDHM.exe\" SERVICE");
  EXPECT_EQ(CommandLineFor("C:\\My App\\x.exe", ""), "\"C:\\My App\\x.exe\"");
}

class ProcessControlTest : public SandboxTest {
 protected:
  std::string Path(const std::string& relative) const { return rs_.InstallPath + relative; }

  StartedProcesses started_;
};

TEST_F(ProcessControlTest, KillProcessEndsEveryInstanceWhoseNameIsListed) {
  CopyStandIn("kINDHM.exe", Path("procs\\kINDHM.exe"));
  CopyStandIn("kINDHM.exe", Path("procs\\DHM.exe"));
  const std::string record = Path("procs\\kINDHM-runs.log");
  const std::uint32_t first = started_.StartWaiting(Path("procs\\kINDHM.exe"), record);
  const std::uint32_t second = started_.StartWaiting(Path("procs\\kINDHM.exe"), record);
  const std::uint32_t bystander = started_.StartWaiting(Path("procs\\DHM.exe"), record);

  for (const char* noMatch : {"", " , ", "KINDHM", "XKINDHM.EXE", "KINDHM.EX"}) {
    std::string names = noMatch;
    KillProcess(rs_, names);
    EXPECT_TRUE(LogMessages().empty()) << "list \"" << noMatch << "\"";
  }
  EXPECT_TRUE(ProcessAlive(first));
  EXPECT_TRUE(ProcessAlive(second));

  std::string names = " notepad.exe , kindhm.exe ";
  KillProcess(rs_, names);

  EXPECT_EQ(names, " NOTEPAD.EXE , KINDHM.EXE ") << "the caller's list is put in capitals";
  EXPECT_TRUE(WaitForProcessEnd(first, 5000));
  EXPECT_TRUE(WaitForProcessEnd(second, 5000));
  EXPECT_TRUE(ProcessAlive(bystander)) << "DHM.exe is only part of a listed name";
  const std::vector<std::string> perProcess = {"MSG : kINDHM.exe found in process", "MSG : Terminating kINDHM.exe",
                                               "MSG : kINDHM.exe Terminated  successfully"};
  std::vector<std::string> expected = perProcess;
  expected.insert(expected.end(), perProcess.begin(), perProcess.end());
  EXPECT_EQ(LogMessages(), expected);
}

TEST_F(ProcessControlTest, GetProcessListWithoutTheRunnerEndsItsInstancesAndStartsNothing) {
  platform::MakeSureDirectoryPathExists(Path("Scheduler INI\\"));
  CopyStandIn("kINDHM.exe", Path("old\\kINDHM.exe"));
  const std::uint32_t running = started_.StartWaiting(Path("old\\kINDHM.exe"), Path("old\\kINDHM-runs.log"));

  const auto began = std::chrono::steady_clock::now();
  std::string names = "KINDHM.EXE";
  GetProcessList(rs_, names, true);

  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(4)) << "no wait without a runner";
  EXPECT_TRUE(WaitForProcessEnd(running, 5000));
  EXPECT_EQ(RecordLines(Path("old\\kINDHM-runs.log")).size(), 1u);
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"MSG : kINDHM.exe found in process", "MSG : Terminating kINDHM.exe",
                                                     "MSG : kINDHM.exe Terminated  successfully",
                                                     "MSG : File not found  :" + rs_.InstallPath + "kXPR\\kINDHM.exe"}));
  EXPECT_TRUE(platform::ListFiles(Path("Scheduler INI")).empty()) << "no schedule without a runner";
}

TEST_F(ProcessControlTest, GetProcessListWithoutRestartOnlyEndsTheRunner) {
  platform::MakeSureDirectoryPathExists(Path("Scheduler INI\\"));
  CopyStandIn("kINDHM.exe", Path("kXPR\\kINDHM.exe"));
  const std::uint32_t running = started_.StartWaiting(Path("kXPR\\kINDHM.exe"), Path("kXPR\\kINDHM-runs.log"));

  std::string names = "KINDHM.EXE";
  GetProcessList(rs_, names, false);

  EXPECT_TRUE(WaitForProcessEnd(running, 5000));
  EXPECT_EQ(RecordLines(Path("kXPR\\kINDHM-runs.log")).size(), 1u);
  EXPECT_EQ(CountLogged("MSG : Sleeping"), 0);
  EXPECT_TRUE(platform::ListFiles(Path("Scheduler INI")).empty());
}

// The one test that waits the runner's five seconds. The install path has a blank, and a
// program stands where an unquoted command line would lead ("...\my.exe"): the runner must
// still be the program that starts.
TEST_F(ProcessControlTest, GetProcessListRestartsTheRunnerByItsOwnPathAndSchedulesIt) {
  rs_.InstallPath = sandbox_.path() + "\\my app\\";
  platform::MakeSureDirectoryPathExists(Path("Scheduler INI\\"));
  const std::string runner = Path("kXPR\\kINDHM.exe");
  const std::string record = Path("kXPR\\kINDHM-runs.log");
  CopyStandIn("kINDHM.exe", runner);
  CopyStandIn("kINDHM.exe", sandbox_.path() + "\\my.exe");
  const std::uint32_t old = started_.StartWaiting(runner, record);

  std::string names = "KINDHM.EXE";
  GetProcessList(rs_, names, true);

  EXPECT_TRUE(WaitForProcessEnd(old, 5000));
  ASSERT_TRUE(WaitUntil([&] { return RecordLines(record).size() == 2; }, 10000));
  const auto fields = RecordFields(RecordLines(record)[1]);
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0], "start");
  EXPECT_EQ(fields[2], "\"" + runner + "\" SERVICE");
  const std::uint32_t restarted = static_cast<std::uint32_t>(std::stoul(fields[1]));
  started_.Adopt(restarted);
  EXPECT_TRUE(ProcessAlive(restarted));
  EXPECT_FALSE(platform::FileExists(sandbox_.path() + "\\kINDHM-runs.log")) << "the decoy must not run";

  const auto log = LogMessages();
  const std::vector<std::string> head(log.begin(), log.begin() + std::min<size_t>(log.size(), 6));
  EXPECT_EQ(head, (std::vector<std::string>{"MSG : kINDHM.exe found in process", "MSG : Terminating kINDHM.exe",
                                            "MSG : kINDHM.exe Terminated  successfully",
                                            "MSG : Sleeping for 5 seconds ",
                                            "MSG : Executing " + rs_.InstallPath + "kXPR\\kINDHM.exe SERVICE",
                                            "MSG : successfully executed " + runner}));
  EXPECT_TRUE(Logged("MSG : Creating Schedule for kInDHM.exe"));
  EXPECT_TRUE(Exists("Scheduler INI\\kDHT_Addsection.ini"));
}

TEST_F(ProcessControlTest, StopDesktopAppEndsTheDesktopApplication) {
  CopyStandIn("kDHM.exe", Path("kXPR\\kDHM.exe"));
  const std::uint32_t app = started_.StartWaiting(Path("kXPR\\kDHM.exe"), Path("kXPR\\kDHM-runs.log"));

  StopDesktopApp(rs_);

  EXPECT_TRUE(WaitForProcessEnd(app, 20000));
  EXPECT_TRUE(LogMessages().empty());
}

TEST_F(ProcessControlTest, GetCurrentUserTokenFindsTheShellProcess) {
  // The first EXPLORER.EXE of a fresh snapshot, as the procedure should see it.
  const auto firstShell = []() -> std::uint32_t {
    platform::ProcessSnapshot snapshot(15);
    for (auto entry = snapshot.First(); entry; entry = snapshot.Next()) {
      if (platform::Upper(entry->exeName) == "EXPLORER.EXE") return entry->processId;
    }
    return 0;
  };
  // Wine runs its desktop process only at times; without any shell there is nothing to find.
  if (firstShell() == 0) {
    EXPECT_EQ(GetCurrentUserToken(rs_), 0u);
    EXPECT_TRUE(LogMessages().empty());
  }

  CopyStandIn("kINDHM.exe", Path("shell\\Explorer.EXE"));
  const std::uint32_t shell = started_.StartWaiting(Path("shell\\Explorer.EXE"), Path("shell\\kINDHM-runs.log"));
  ClearLog();
  const std::uint32_t expected = firstShell();
  ASSERT_NE(expected, 0u);
  if (expected != shell) std::cout << "Wine's own shell " << expected << " comes first\n";

  EXPECT_EQ(GetCurrentUserToken(rs_), expected);
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"MSG : EXPLORER.EXE Found"});
}

std::string ExecutingLine(std::uint32_t id, const std::string& program, const std::string& commandLine,
                          const std::string& folder) {
  return "MSG : Executing fncExecuteInUserAcc With parameter Process handle : " + std::to_string(id) +
         ", Exe path :" + program + ", Parameter :" + commandLine + ", Working Directory :" + folder;
}

TEST_F(ProcessControlTest, ExecuteInUserAccWithoutAUserProcessStartsNothing) {
  EXPECT_FALSE(fncExecuteInUserAcc(rs_, 0, "C:\\x.exe", "", "C:\\"));
  EXPECT_EQ(LogMessages(),
            (std::vector<std::string>{ExecutingLine(0, "C:\\x.exe", "", "C:\\"), "ERR : No Logged in User found"}));
  EXPECT_FALSE(platform::ThreadIsImpersonating());
}

TEST_F(ProcessControlTest, ExecuteInUserAccWithAMissingProgramLogsTheSystemsReason) {
  const std::uint32_t self = platform::CurrentProcessId();
  platform::MakeSureDirectoryPathExists(Path("kXPR\\"));
  const std::string missing = Path("kXPR\\kRSSUpd.exe");
  const auto began = std::chrono::steady_clock::now();

  EXPECT_FALSE(fncExecuteInUserAcc(rs_, self, missing, "", Path("kXPR")));

  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1500)) << "no wait after a failure";
  const auto log = LogMessages();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], ExecutingLine(self, missing, "", Path("kXPR")));
  EXPECT_EQ(log[1], "MSG : Explorer token found!!");
  // The system's number and text for "file not found".
  const std::string reason = "ERR : Failed to execute in the user mode, 2-";
  EXPECT_EQ(log[2].substr(0, reason.size()), reason);
  EXPECT_GT(log[2].size(), reason.size()) << "the system's text follows the number";
  EXPECT_EQ(log[3], "ERR : .CreateProcessAsUser() failed with error");
  EXPECT_FALSE(platform::ThreadIsImpersonating()) << "the failure path must revert";
}

TEST_F(ProcessControlTest, ExecuteInUserAccStartsTheNamedProgramEvenWithBlanksInItsPath) {
  const std::uint32_t self = platform::CurrentProcessId();
  const std::string program = Path("my app\\kRSSUpd.exe");
  const std::string record = Path("my app\\kINDHM-runs.log");
  CopyStandIn("kINDHM.exe", program);
  CopyStandIn("kINDHM.exe", Path("my.exe"));  // where the unquoted command line would lead
  const std::string commandLine = Path("my app\\kRSSUpd.exe") + " /feeds";

  EXPECT_TRUE(fncExecuteInUserAcc(rs_, self, program, commandLine, Path("my app")));

  ASSERT_TRUE(WaitUntil([&] { return RecordLines(record).size() == 1; }, 5000));
  const auto fields = RecordFields(RecordLines(record)[0]);
  ASSERT_EQ(fields.size(), 3u);
  started_.Adopt(static_cast<std::uint32_t>(std::stoul(fields[1])));
  EXPECT_EQ(fields[2], commandLine);
  EXPECT_FALSE(platform::FileExists(Path("kINDHM-runs.log"))) << "the decoy must not run";
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{ExecutingLine(self, program, commandLine, Path("my app")),
                                                     "MSG : Explorer token found!!",
                                                     "MSG : Successfully Started the process"}));
  EXPECT_FALSE(platform::ThreadIsImpersonating());
}

}  // namespace
}  // namespace kdht::testing
