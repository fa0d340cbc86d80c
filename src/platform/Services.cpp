#include "platform/Services.h"

#include <windows.h>

#include "platform/Text.h"

namespace kdht::platform {

std::uint32_t ServiceRecordBytes() { return static_cast<std::uint32_t>(sizeof(ENUM_SERVICE_STATUSW)); }

ServiceManager::~ServiceManager() {
  if (handle_ != nullptr) CloseServiceHandle(static_cast<SC_HANDLE>(handle_));
}

std::uint32_t ServiceManager::Open() {
  SC_HANDLE h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
  if (h == nullptr) return GetLastError();
  if (handle_ != nullptr) CloseServiceHandle(static_cast<SC_HANDLE>(handle_));
  handle_ = h;
  return ERROR_SUCCESS;
}

std::uint32_t ServiceManager::ProbeWin32Services(std::uint32_t* bytesNeeded) const {
  DWORD needed = 0, count = 0, resume = 0;
  const BOOL ok = EnumServicesStatusW(static_cast<SC_HANDLE>(handle_), SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0,
                                      &needed, &count, &resume);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  *bytesNeeded = needed;
  return error;
}

std::uint32_t ServiceManager::EnumWin32Services(std::uint32_t bufferBytes, std::vector<std::string>* names) const {
  // Whole records, so that the pointers inside are aligned; one spare record at the end.
  std::vector<ENUM_SERVICE_STATUSW> records(bufferBytes / sizeof(ENUM_SERVICE_STATUSW) + 2);
  DWORD needed = 0, count = 0, resume = 0;
  if (!EnumServicesStatusW(static_cast<SC_HANDLE>(handle_), SERVICE_WIN32, SERVICE_STATE_ALL, records.data(),
                           bufferBytes, &needed, &count, &resume)) {
    return GetLastError();
  }
  std::vector<std::string> out;
  out.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    out.push_back(records[i].lpServiceName != nullptr ? Narrow(records[i].lpServiceName) : std::string());
  }
  *names = std::move(out);
  return ERROR_SUCCESS;
}

}  // namespace kdht::platform
