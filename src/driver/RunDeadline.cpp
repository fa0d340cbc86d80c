#include "driver/RunDeadline.h"

#include "core/Log.h"
#include "core/RunState.h"
#include "platform/Shell.h"

namespace kdht {

std::uint32_t RunDeadlineMs(const std::optional<std::string>& testValue) {
  if (!testValue || testValue->empty() || testValue->size() > 9) return kRunDeadlineMs;
  std::uint32_t ms = 0;
  for (char c : *testValue) {
    if (c < '0' || c > '9') return kRunDeadlineMs;
    ms = ms * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (ms < 100 || ms > kRunDeadlineMs) return kRunDeadlineMs;
  return ms;
}

RunDeadline::RunDeadline(RunState& rs) {
  const std::uint32_t ms = RunDeadlineMs(platform::GetEnv("KDHT_RUN_DEADLINE_MS"));
  try {
    // The line is written beside the run's own work: WriteLog reads only the install and log
    // paths and the clock, which start-up has set for good by now.
    watchdog_.emplace(ms, [&rs, ms] {
      WriteLog(rs, "ERR : The run did not end within " + std::to_string(ms / 1000) + " seconds and is ended");
      platform::TerminateProcessNow(kRunDeadlineExitCode);
    });
  } catch (...) {
    LogTrap(rs, "RunDeadline", "modMain");
  }
}

}  // namespace kdht
