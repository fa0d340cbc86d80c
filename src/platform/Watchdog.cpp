#include "platform/Watchdog.h"

#include <windows.h>

#include "platform/Failure.h"

namespace kdht::platform {

struct Watchdog::Shared {
  HANDLE cancel = nullptr;
  DWORD ms = 0;
  std::function<void()> onExpiry;
  ~Shared() {
    if (cancel != nullptr) CloseHandle(cancel);
  }
};

namespace {

DWORD WINAPI WatchdogThread(void* parameter) {
  const std::unique_ptr<std::shared_ptr<Watchdog::Shared>> owner(static_cast<std::shared_ptr<Watchdog::Shared>*>(parameter));
  Watchdog::Shared& shared = **owner;
  if (WaitForSingleObject(shared.cancel, shared.ms) == WAIT_TIMEOUT) shared.onExpiry();
  return 0;
}

}  // namespace

Watchdog::Watchdog(std::uint32_t ms, std::function<void()> onExpiry) : shared_(std::make_shared<Shared>()) {
  shared_->ms = ms;
  shared_->onExpiry = std::move(onExpiry);
  shared_->cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (shared_->cancel == nullptr) ThrowLastError();
  // The thread owns the parameter once it runs; until then, this does.
  auto parameter = std::make_unique<std::shared_ptr<Shared>>(shared_);
  thread_ = CreateThread(nullptr, 0, WatchdogThread, parameter.get(), 0, nullptr);
  if (thread_ == nullptr) ThrowLastError();
  static_cast<void>(parameter.release());
}

Watchdog::~Watchdog() {
  SetEvent(shared_->cancel);
  WaitForSingleObject(static_cast<HANDLE>(thread_), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread_));
}

void TerminateProcessNow(unsigned exitCode) {
  TerminateProcess(GetCurrentProcess(), exitCode);
  // TerminateProcess on the calling process does not return; nothing below runs.
  for (;;) Sleep(INFINITE);
}

}  // namespace kdht::platform
