/* The cost of one run-log line as the log writes it: open the file for appending, write the line,
 * close it. Usage: logline <log file> <lines> <result file>; writes the seconds per line (as text)
 * to the result file and removes the log file afterwards. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == NULL || argc < 4) return 2;
  const long lines = wcstol(argv[2], NULL, 10);
  if (lines <= 0) return 2;
  static const char line[] = "12/08/2026 07:40:55\tMSG : Searching for software : Contoso Paper Reader 1.00\r\n";
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  for (long i = 0; i < lines; ++i) {
    HANDLE file = CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 3;
    DWORD written = 0;
    BOOL ok = WriteFile(file, line, (DWORD)(sizeof line - 1), &written, NULL);
    CloseHandle(file);
    if (!ok) return 3;
  }
  QueryPerformanceCounter(&end);
  DeleteFileW(argv[1]);
  FILE* out = _wfopen(argv[3], L"w");
  if (out == NULL) return 3;
  fprintf(out, "%.9f\n", (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart / (double)lines);
  fclose(out);
  LocalFree(argv);
  return 0;
}
