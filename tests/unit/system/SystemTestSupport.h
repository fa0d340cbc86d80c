// Helpers of the system tests: the agent's stand-in programs and components (built beside the
// test program) and processes started by a test and ended with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdht::testing {

// Full path of a stand-in built into the test program's folder (kINDHM.exe, kDHM.exe,
// kPopup.dll). Fails the current test when it has not been built.
std::string StandIn(const std::string& fileName);
// Copies a stand-in to `destination` (folders created).
void CopyStandIn(const std::string& fileName, const std::string& destination);

bool ProcessAlive(std::uint32_t processId);
bool WaitForProcessEnd(std::uint32_t processId, unsigned timeoutMs);

// Processes a test starts; whatever is still running is ended with the object.
class StartedProcesses {
 public:
  StartedProcesses() = default;
  ~StartedProcesses();
  StartedProcesses(const StartedProcesses&) = delete;
  StartedProcesses& operator=(const StartedProcesses&) = delete;

  // Starts a waiting stand-in copy and returns once it has recorded its start (up to 10 s),
  // so that its modules can be read.
  std::uint32_t StartWaiting(const std::string& program, const std::string& recordFile);
  // Remembers a process started some other way, so that it is ended with the test.
  void Adopt(std::uint32_t processId) { ids_.push_back(processId); }

 private:
  std::vector<std::uint32_t> ids_;
};

}  // namespace kdht::testing
