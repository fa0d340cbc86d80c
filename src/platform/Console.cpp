#include "platform/Console.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>

#include "platform/Text.h"

namespace kdht::platform {
namespace {

void WriteTo(DWORD which, const std::string& utf8) {
  HANDLE stream = GetStdHandle(which);
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE || utf8.empty()) return;
  DWORD mode = 0;
  if (GetConsoleMode(stream, &mode)) {
    const std::wstring wide = Widen(utf8);
    DWORD written = 0;
    WriteConsoleW(stream, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  size_t done = 0;
  while (done < utf8.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(utf8.size() - done, 1u << 20));
    if (!WriteFile(stream, utf8.data() + done, chunk, &written, nullptr) || written == 0) return;
    done += written;
  }
}

}  // namespace

void WriteStdout(const std::string& utf8) { WriteTo(STD_OUTPUT_HANDLE, utf8); }
void WriteStderr(const std::string& utf8) { WriteTo(STD_ERROR_HANDLE, utf8); }

std::vector<std::string> CommandLineWords() {
  std::vector<std::string> words;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr) return words;
  for (int i = 1; i < count; ++i) words.push_back(Narrow(argv[i]));
  LocalFree(argv);
  return words;
}

}  // namespace kdht::platform
