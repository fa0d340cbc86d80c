/* Keeps Wine's desktop process running while the bench measures: on Windows a desktop always
 * exists, but under Wine the first program that needs one (kDHT.exe does: it loads user32) starts
 * explorer.exe /desktop and waits for it, and that process ends a few seconds after its last
 * client. Holds one window for the given number of seconds (default one hour, at most six). */
#include <windows.h>
#include <stdlib.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)show;
  long seconds = strtol(commandLine, NULL, 10);
  if (seconds <= 0 || seconds > 6 * 3600) seconds = 3600;
  HWND window = CreateWindowExA(0, "STATIC", "kdht-bench desktop keeper", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
  Sleep((DWORD)seconds * 1000);
  if (window != NULL) DestroyWindow(window);
  return 0;
}
