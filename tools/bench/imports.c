/* The trivial program with kDHT.exe's imported libraries: what loading them at start-up costs
   under Wine. Nothing is called; the references only make the loader bring the libraries in.
   The list is that of kDHT.exe's import table (objdump -p), besides kernel32 and the C runtime. */
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>
#include <winhttp.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  volatile int never = 0;
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  if (never) {
    RegCloseKey(NULL);                                   /* advapi32 */
    CoUninitialize();                                    /* ole32 */
    SysFreeString(NULL);                                 /* oleaut32 */
    SHGetPathFromIDListW(NULL, NULL);                    /* shell32 */
    CharUpperBuffW(NULL, 0);                             /* user32 */
    GetFileVersionInfoSizeW(L"", NULL);                  /* version */
    WinHttpCloseHandle(NULL);                            /* winhttp */
  }
  return 0;
}
