// A limit on the time a stretch of work may take, kept by a thread of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace kdht::platform {

// Calls `onExpiry` on the watchdog's thread when `ms` milliseconds pass before the object is
// destroyed; destroying it in time cancels the call. `onExpiry` runs beside the watched work, so
// it may touch only what that work no longer changes.
class Watchdog {
 public:
  Watchdog(std::uint32_t ms, std::function<void()> onExpiry);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  struct Shared;  // held by the object and by its thread

 private:
  std::shared_ptr<Shared> shared_;
  void* thread_ = nullptr;
};

// Ends the process at once from any thread, without running its exit handlers (which could wait
// for locks that the stopped work holds). Only the run's deadline uses it: a run stuck in a
// system call cannot be unwound back to the top, which is the way out of every other run. Handles, the single-instance mutex among them, are
// released by the system.
[[noreturn]] void TerminateProcessNow(unsigned exitCode);

}  // namespace kdht::platform
