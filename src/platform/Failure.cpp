#include "platform/Failure.h"

#include <windows.h>

#include "platform/Text.h"

namespace kdht::platform {

std::string SystemMessage(std::int32_t code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (n != 0 && buffer != nullptr) {
    text.assign(buffer, n);
  }
  if (buffer != nullptr) {
    LocalFree(buffer);
  }
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  if (text.empty()) {
    return "Error " + std::to_string(code);
  }
  return Narrow(text);
}

void ThrowSystemError(std::uint32_t code) {
  throw Failure(static_cast<std::int32_t>(code), SystemMessage(static_cast<std::int32_t>(code)));
}

void ThrowLastError() { ThrowSystemError(GetLastError()); }

void ThrowIfFailed(long hr) {
  if (FAILED(hr)) {
    throw Failure(static_cast<std::int32_t>(hr), SystemMessage(static_cast<std::int32_t>(hr)));
  }
}

}  // namespace kdht::platform
