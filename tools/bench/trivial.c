/* A Windows program that does nothing: what starting any program costs under Wine. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  return 0;
}
