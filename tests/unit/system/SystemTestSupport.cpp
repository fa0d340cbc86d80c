#include "system/SystemTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/FileSys.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Processes.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "system/ProcessControl.h"

namespace kdht::testing {

std::string StandIn(const std::string& fileName) {
  const std::string path =
      FileSystemService::GetParentFolderName(platform::ExecutablePath()) + "\\" + fileName;
  EXPECT_TRUE(platform::FileExists(path)) << fileName << " is not built beside the tests (build the agent targets)";
  return path;
}

void CopyStandIn(const std::string& fileName, const std::string& destination) {
  const std::string folder = FileSystemService::GetParentFolderName(destination);
  platform::MakeSureDirectoryPathExists(folder + "\\");
  platform::CopyFileOver(StandIn(fileName), destination);
}

std::vector<std::string> RecordLines(const std::string& path) {
  std::vector<std::string> lines;
  if (!platform::FileExists(path)) return lines;
  const std::string bytes = platform::ReadFileBytes(path);
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(start));
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::vector<std::string> RecordFields(const std::string& line) { return text::Split(line, "\t"); }

bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs) {
  for (unsigned waited = 0;; waited += 50) {
    if (condition()) return true;
    if (waited >= timeoutMs) return false;
    platform::SleepMs(50);
  }
}

bool ProcessAlive(std::uint32_t processId) {
  const platform::ProcessHandle process = platform::OpenProcessById(processId, 0x00100000 /*SYNCHRONIZE*/, false);
  return process && !platform::WaitForExit(process, 0);
}

bool WaitForProcessEnd(std::uint32_t processId, unsigned timeoutMs) {
  const platform::ProcessHandle process = platform::OpenProcessById(processId, 0x00100000 /*SYNCHRONIZE*/, false);
  return !process || platform::WaitForExit(process, timeoutMs);
}

void RunSystemProgram(const std::string& fileName, const std::string& arguments) {
  const std::string program = SystemProgram(fileName);
  const std::uint32_t id =
      platform::StartProcess(program, CommandLineFor(program, arguments), platform::ShowWindow::Hidden);
  ASSERT_TRUE(WaitForProcessEnd(id, 60000)) << fileName << " " << arguments << " did not end";
}

StartedProcesses::~StartedProcesses() {
  for (const std::uint32_t id : ids_) {
    const platform::ProcessHandle process = platform::OpenProcessById(id, platform::kProcessAllAccess, false);
    if (process && !platform::WaitForExit(process, 0)) {
      platform::Terminate(process, 1);
      platform::WaitForExit(process, 5000);
    }
  }
}

std::uint32_t StartedProcesses::StartWaiting(const std::string& program, const std::string& recordFile) {
  const size_t before = RecordLines(recordFile).size();
  const std::uint32_t id = platform::StartProcess(program, CommandLineFor(program, ""), platform::ShowWindow::Hidden);
  ids_.push_back(id);
  const std::string pid = std::to_string(id);
  const bool recorded = WaitUntil(
      [&] {
        const auto lines = RecordLines(recordFile);
        return lines.size() > before && std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
                 const auto f = RecordFields(l);
                 return f.size() >= 2 && f[1] == pid;
               });
      },
      10000);
  EXPECT_TRUE(recorded) << program << " did not record its start";
  return id;
}

}  // namespace kdht::testing
