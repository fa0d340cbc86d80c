#include "platform/Text.h"

#include <windows.h>

namespace kdht::platform {
namespace {

std::wstring ToWide(std::string_view s, UINT codePage) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string FromWide(std::wstring_view w, UINT codePage) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(codePage, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::wstring Widen(std::string_view utf8) { return ToWide(utf8, CP_UTF8); }
std::string Narrow(std::wstring_view wide) { return FromWide(wide, CP_UTF8); }
std::string Utf8ToAnsi(std::string_view utf8) { return FromWide(Widen(utf8), CP_ACP); }
std::string AnsiToUtf8(std::string_view ansi) { return Narrow(ToWide(ansi, CP_ACP)); }

std::string Upper(std::string_view text) {
  std::wstring w = Widen(text);
  if (!w.empty()) {
    CharUpperBuffW(w.data(), static_cast<DWORD>(w.size()));
  }
  return Narrow(w);
}

}  // namespace kdht::platform
