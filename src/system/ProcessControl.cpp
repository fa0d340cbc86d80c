#include "system/ProcessControl.h"

#include "core/Log.h"
#include "core/RunState.h"
#include "platform/Clock.h"
#include "platform/Processes.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "system/Scheduler.h"

namespace kdht {
namespace {

constexpr std::size_t kProcessTableEntries = 1024;
constexpr unsigned kAfterUserStartMs = 2000;
constexpr unsigned kBeforeRunnerStartMs = 5000;

std::string CutAtNul(const std::string& s) {
  const size_t p = s.find('\0');
  return p == std::string::npos ? s : s.substr(0, p);
}

}  // namespace

std::vector<std::string> ProcessNameList(const std::string& names) {
  std::vector<std::string> out;
  for (const auto& piece : text::Split(names, ",")) {
    std::string name = platform::Upper(text::Trim(piece));
    if (!name.empty()) out.push_back(std::move(name));
  }
  return out;
}

bool IsListedProcess(const std::string& baseName, const std::vector<std::string>& upperNames) {
  if (baseName.empty()) return false;
  const std::string upper = platform::Upper(baseName);
  for (const auto& name : upperNames) {
    if (name == upper) return true;
  }
  return false;
}

std::string CommandLineFor(const std::string& program, const std::string& arguments) {
  const bool quote = program.find(' ') != std::string::npos || program.find('\t') != std::string::npos;
  std::string line = quote ? "\"" + program + "\"" : program;
  if (!arguments.empty()) line += " " + arguments;
  return line;
}

std::string SystemProgram(const std::string& fileName) { return platform::SystemFolder() + "\\" + fileName; }

std::uint32_t GetCurrentUserToken(RunState& rs) {
  try {
    platform::ProcessSnapshot snapshot(platform::kSnapAll);
    for (auto entry = snapshot.First(); entry; entry = snapshot.Next()) {
      if (platform::Upper(CutAtNul(entry->exeName)) == "EXPLORER.EXE") {
        WriteLog(rs, "MSG : EXPLORER.EXE Found");
        return entry->processId;
      }
    }
    return 0;
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR: GetCurrentUserToken. Err No :" + std::to_string(f.number()) + " Description :" +
                     f.description());
    return 0;
  }
}

bool fncExecuteInUserAcc(RunState& rs, std::uint32_t processId, const std::string& program,
                         const std::string& commandLine, const std::string& workingFolder) {
  try {
    WriteLog(rs, "MSG : Executing fncExecuteInUserAcc With parameter Process handle : " + std::to_string(processId) +
                     ", Exe path :" + program + ", Parameter :" + commandLine + ", Working Directory :" +
                     workingFolder);
    const platform::ProcessHandle process =
        platform::OpenProcessById(processId, platform::kProcessAllAccess, /*inheritable=*/true);
    if (!process) {
      WriteLog(rs, "ERR : No Logged in User found");
      return false;
    }
    WriteLog(rs, "MSG : Explorer token found!!");
    const platform::TokenHandle token = platform::OpenToken(process, platform::kTokenAllAccess);
    if (!token) return false;

    bool started = false;
    {
      // Reverted when the scope ends, whatever happens inside it.
      const platform::Impersonation asUser(token);
      const platform::StartResult start =
          platform::StartProcessAsUser(token, program, commandLine, workingFolder, platform::kCreateNoWindow);
      if (start.started()) {
        WriteLog(rs, "MSG : Successfully Started the process");
        started = true;
      } else {
        WriteLog(rs, "ERR : Failed to execute in the user mode, " +
                         fncFormatMessage(rs, static_cast<std::int32_t>(start.error)));
        WriteLog(rs, "ERR : .CreateProcessAsUser() failed with error");
      }
    }
    // Give the program time to come up on the user's desktop before the run goes on.
    if (started) platform::SleepMs(kAfterUserStartMs);
    return started;
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR : In fncExecuteInUserAcc. Error No :" + std::to_string(f.number()) + " Description :" +
                     f.description());
    return false;
  }
}

void KillProcess(RunState& rs, std::string& names) {
  try {
    names = platform::Upper(names);
    const std::vector<std::string> wanted = ProcessNameList(names);
    if (wanted.empty()) return;
    for (const std::uint32_t id : platform::EnumerateProcessIds(kProcessTableEntries)) {
      const platform::ProcessHandle process =
          platform::OpenProcessById(id, platform::kProcessAllAccess, /*inheritable=*/false);
      if (!process) continue;
      const std::string name = CutAtNul(platform::FirstModuleBaseName(process));
      // Whole names only: a process whose name is merely part of another listed name is not ours.
      if (!IsListedProcess(name, wanted)) continue;
      WriteLog(rs, "MSG : " + name + " found in process");
      WriteLog(rs, "MSG : Terminating " + name);
      if (platform::Terminate(process, 0)) {
        WriteLog(rs, "MSG : " + name + " Terminated  successfully");
      } else {
        WriteLog(rs, "MSG : Unable to terminate " + name);
      }
    }
  } catch (...) {
    LogTrap(rs, "KillProcess", "Download");
  }
}

void GetProcessList(RunState& rs, std::string& names, bool restart) {
  try {
    KillProcess(rs, names);
    if (!restart) return;
    const std::string runner = rs.InstallPath + "kXPR\\kINDHM.exe";
    if (!rs.FileSys.FileExists(runner)) {
      WriteLog(rs, "MSG : File not found  :" + runner);
      return;
    }
    // The ended runner needs a moment to let go of its files.
    WriteLog(rs, "MSG : Sleeping for 5 seconds ");
    platform::SleepMs(kBeforeRunnerStartMs);
    WriteLog(rs, "MSG : Executing " + runner + " SERVICE");
    const std::uint32_t id =
        platform::StartProcess(runner, CommandLineFor(runner, "SERVICE"), platform::ShowWindow::Hidden);
    if (id != 0) {
      WriteLog(rs, "MSG : successfully executed " + runner);
    } else {
      WriteLog(rs, "MSG : Unable to execute " + runner);
    }
    ScheduleKINDHM(rs);
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR : function GetProcessList. ErrDesc :: " + std::to_string(f.number()) + " " + f.description());
  }
}

void StopDesktopApp(RunState& rs) {
  try {
    const std::string taskkill = SystemProgram("taskkill.exe");
    platform::StartProcess(taskkill, CommandLineFor(taskkill, "/F /IM kDHM.exe"), platform::ShowWindow::Hidden);
  } catch (...) {
    LogTrap(rs, "StopDesktopApp", "modMain");
  }
}

}  // namespace kdht
