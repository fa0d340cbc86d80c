// The limit on the time of one run. A run that hangs (a server that trickles past every other
// limit, a component that never returns) would keep the single-instance lock, and every later run
// on the machine would end at start-up: the feature would be dead there until a restart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Watchdog.h"

namespace kdht {

struct RunState;

inline constexpr std::uint32_t kRunDeadlineMs = 20u * 60u * 1000u;
// Exit code of a run ended by its deadline (ERROR_TIMEOUT).
inline constexpr unsigned kRunDeadlineExitCode = 1460;

// The deadline in force: kRunDeadlineMs, or the shorter time (milliseconds, at least 100) that
// the variable KDHT_RUN_DEADLINE_MS names for tests; the variable never lengthens it.
std::uint32_t RunDeadlineMs(const std::optional<std::string>& testValue);

// Started by the driver once the run's log is known; when the deadline passes before the object
// is destroyed, one line is logged and the process ends (the lock is released with it).
class RunDeadline {
 public:
  explicit RunDeadline(RunState& rs);

 private:
  std::optional<platform::Watchdog> watchdog_;
};

}  // namespace kdht
