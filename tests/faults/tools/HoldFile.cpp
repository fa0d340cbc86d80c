// Helper of the fault tests: holds a file open the way another program on the machine might (a
// log viewer, a backup, a virus scanner), until it is ended or its time is up.
//
//   kHoldFile <path> <none|read|all> <seconds> <ready file>
//
// none: no sharing at all; read: others may read; all: read, write and delete sharing. The ready
// file is written once the file is held, so that the test knows when to go on.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 5) return 2;
  DWORD share = 0;
  if (lstrcmpiW(argv[2], L"read") == 0) {
    share = FILE_SHARE_READ;
  } else if (lstrcmpiW(argv[2], L"all") == 0) {
    share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  } else if (lstrcmpiW(argv[2], L"none") != 0) {
    return 2;
  }
  DWORD seconds = std::wcstoul(argv[3], nullptr, 10);
  if (seconds > 600) seconds = 600;  // never outlives a test run by much

  HANDLE held = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 3;
  HANDLE ready = CreateFileW(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 4;
  CloseHandle(ready);
  Sleep(seconds * 1000);
  CloseHandle(held);
  return 0;
}
