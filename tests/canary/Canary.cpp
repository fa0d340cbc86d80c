// Proof that a Windows program of this build really ran: prints its width and whether it runs
// under WoW64. A stock 64-bit Wine given a 32-bit program without the 32-bit DLLs exits 0 having
// run nothing, so the test runners require this line before they trust any result.
#include <windows.h>

#include <cstdio>

int main() {
  BOOL wow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &wow64)) wow64 = FALSE;
  std::printf("kDHT canary: %u-bit process%s\n", static_cast<unsigned>(sizeof(void*) * 8),
              wow64 ? " under WoW64" : "");
  return 0;
}
