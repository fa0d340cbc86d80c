#include "platform/OsVersion.h"

#include <windows.h>

#include <cstring>

#include "platform/Text.h"

#ifdef _MSC_VER
#pragma warning(disable : 4996)  // GetVersion/GetVersionExA: the numbers the naming table knows
#endif

namespace kdht::platform {

std::uint32_t PackedVersion() { return GetVersion(); }

std::optional<VersionRecord> ReadVersionRecord(bool extended) {
  OSVERSIONINFOEXA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = extended ? sizeof(OSVERSIONINFOEXA) : sizeof(OSVERSIONINFOA);
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return std::nullopt;
  VersionRecord r;
  r.platformId = info.dwPlatformId;
  r.major = info.dwMajorVersion;
  r.minor = info.dwMinorVersion;
  r.build = info.dwBuildNumber;
  r.servicePack = AnsiToUtf8(std::string(info.szCSDVersion, strnlen(info.szCSDVersion, sizeof info.szCSDVersion)));
  if (extended) {
    r.productType = info.wProductType;
    r.suiteMask = info.wSuiteMask;
  }
  return r;
}

bool Is64BitWindows() {
#ifdef _WIN64
  return true;
#else
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}

}  // namespace kdht::platform
