#include "system/SystemTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/FileSys.h"
#include "platform/FileSystem.h"
#include "platform/Processes.h"
#include "platform/Shell.h"
#include "support/ChildProcesses.h"
#include "support/TestSupport.h"
#include "system/ProcessControl.h"

namespace kdht::testing {

std::string StandIn(const std::string& fileName) {
  const std::string path = InBin(fileName);
  EXPECT_TRUE(platform::FileExists(path)) << fileName << " is not built beside the tests (build the agent targets)";
  return path;
}

void CopyStandIn(const std::string& fileName, const std::string& destination) {
  const std::string folder = FileSystemService::GetParentFolderName(destination);
  platform::MakeSureDirectoryPathExists(folder + "\\");
  platform::CopyFileOver(StandIn(fileName), destination);
}

bool ProcessAlive(std::uint32_t processId) {
  const platform::ProcessHandle process = platform::OpenProcessById(processId, 0x00100000 /*SYNCHRONIZE*/, false);
  return process && !platform::WaitForExit(process, 0);
}

bool WaitForProcessEnd(std::uint32_t processId, unsigned timeoutMs) {
  const platform::ProcessHandle process = platform::OpenProcessById(processId, 0x00100000 /*SYNCHRONIZE*/, false);
  return !process || platform::WaitForExit(process, timeoutMs);
}

StartedProcesses::~StartedProcesses() {
  for (const std::uint32_t id : ids_) EndIfRunning(id);
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
