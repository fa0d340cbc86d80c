// The local service control manager: enumeration of Win32 services.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdht::platform {

// Byte size of one enumeration record (name pointer, display-name pointer, status) in this
// build; the service manager reports its needs in multiples of it plus the strings.
std::uint32_t ServiceRecordBytes();

// Owns a service-manager handle opened for enumeration. Methods return the system's last
// error code of the call (0 when it succeeded).
class ServiceManager {
 public:
  ServiceManager() = default;
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // OpenSCManager(local machine, active database, SC_MANAGER_ENUMERATE_SERVICE).
  std::uint32_t Open();
  bool valid() const { return handle_ != nullptr; }

  // Size probe of the Win32 services in every state: no buffer, size 0. A probe that
  // behaves as expected fails with ERROR_MORE_DATA and fills *bytesNeeded.
  std::uint32_t ProbeWin32Services(std::uint32_t* bytesNeeded) const;
  // One enumeration into a buffer of `bufferBytes`; on success *names receives the internal
  // names in the order the manager returned them.
  std::uint32_t EnumWin32Services(std::uint32_t bufferBytes, std::vector<std::string>* names) const;

 private:
  void* handle_ = nullptr;  // SC_HANDLE
};

}  // namespace kdht::platform
