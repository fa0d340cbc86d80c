#include "support/ChildProcesses.h"

#include <windows.h>

#include <vector>

#include "platform/Shell.h"
#include "platform/Text.h"

namespace kdht::testing {

ChildProcess::ChildProcess(const std::string& commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  const std::wstring line = platform::Widen(commandLine);
  std::vector<wchar_t> mutableLine(line.begin(), line.end());
  mutableLine.push_back(L'\0');
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return;
  }
  CloseHandle(info.hThread);
  process_.reset(info.hProcess);
  id_ = info.dwProcessId;
}

ChildProcess::~ChildProcess() {
  if (started()) EndIfRunning(id_);
}

std::optional<std::uint32_t> RunAndWait(const std::string& commandLine, unsigned timeoutMs) {
  ChildProcess child(commandLine);
  if (!child.started() || WaitForSingleObject(child.handle(), timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!GetExitCodeProcess(child.handle(), &code)) return std::nullopt;
  return code;
}

std::optional<std::uint32_t> Regsvr32(const std::string& library, bool unregister) {
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on a chain of + starting from a literal.
  std::string line = "\"";
  line += platform::SystemFolder();
  line += "\\regsvr32.exe\" /s ";
  if (unregister) line += "/u ";
  line += "\"" + library + "\"";
  return RunAndWait(line, 60000);
}

void EndIfRunning(std::uint32_t processId) {
  const platform::ProcessHandle process = platform::OpenProcessById(processId, platform::kProcessAllAccess, false);
  if (process && !platform::WaitForExit(process, 0)) {
    platform::Terminate(process, 1);
    platform::WaitForExit(process, 10000);
  }
}

}  // namespace kdht::testing
