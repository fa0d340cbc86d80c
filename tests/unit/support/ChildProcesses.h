// Programs a test starts: ended with the test whatever its outcome, so that a failing test
// leaves no stand-in running into the next one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Processes.h"

namespace kdht::testing {

// A program started from its command line alone, as a user would type it; ended when the object
// goes if it still runs.
class ChildProcess {
 public:
  explicit ChildProcess(const std::string& commandLine);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool started() const { return process_.valid(); }
  std::uint32_t id() const { return id_; }
  // The process handle, for the system's waits and exit code.
  void* handle() const { return process_.get(); }

 private:
  platform::ProcessHandle process_;
  std::uint32_t id_ = 0;
};

// Runs a program and waits for it; its exit code, or nothing if it did not start or did not end
// in time.
std::optional<std::uint32_t> RunAndWait(const std::string& commandLine, unsigned timeoutMs);
// The system's regsvr32, silent, on a library by its full path; its exit code (0 on success), or
// nothing when it did not end within a minute.
std::optional<std::uint32_t> Regsvr32(const std::string& library, bool unregister = false);

// Ends a process that still runs and waits (bounded) for it to go.
void EndIfRunning(std::uint32_t processId);

}  // namespace kdht::testing
