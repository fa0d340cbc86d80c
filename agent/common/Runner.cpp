// Entry point of the runner stand-ins (kINDHM, kDHM, kRSSUpd): each records that it was started
// and how. The waiting ones stay until they are ended, like the programs they stand in for, but
// give up on their own so that a forgotten one does not outlive the test run.
#include <windows.h>
#include <lmcons.h>

#include <string>

#include "Records.h"

#if !defined(KAGENT_RUNNER_LOG) || !defined(KAGENT_RUNNER_TAG) || !defined(KAGENT_RUNNER_WAITS)
#error "build runners through kagent_add_runner()"
#endif

namespace {

constexpr DWORD kGiveUpMs = 600 * 1000;
// A plain constant, not `if constexpr`: the branch a runner does not take is still compiled, so
// both kinds of runner build from the same code without unused helpers.
constexpr bool kWaits = KAGENT_RUNNER_WAITS != 0;

std::wstring UserName() {
  wchar_t name[UNLEN + 1] = {};
  DWORD size = UNLEN + 1;
  return GetUserNameW(name, &size) ? std::wstring(name) : std::wstring();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  std::wstring line = std::wstring(KAGENT_RUNNER_TAG) + L"\t" + std::to_wstring(GetCurrentProcessId());
  if (!kWaits) line += L"\t" + kagent::RecordField(UserName());
  line += L"\t" + kagent::RecordField(GetCommandLineW());
  kagent::AppendRecord(KAGENT_RUNNER_LOG, line);

  if (kWaits) {
    const ULONGLONG giveUpAt = GetTickCount64() + kGiveUpMs;
    while (GetTickCount64() < giveUpAt) Sleep(1000);
  }
  return 0;
}
