// The system's version numbers as the version functions report them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kdht::platform {

// GetVersion's packed number.
std::uint32_t PackedVersion();

struct VersionRecord {
  std::uint32_t platformId = 0;
  std::uint32_t major = 0, minor = 0, build = 0;
  std::string servicePack;         // up to its first NUL
  // Only in the extended record:
  std::uint32_t productType = 0;
  std::uint32_t suiteMask = 0;
};

// GetVersionExA with the extended record (extended = true) or the plain one; nothing when
// the call fails.
std::optional<VersionRecord> ReadVersionRecord(bool extended);

// True on 64-bit Windows, where the registry keeps separate 32-bit and 64-bit views (on a
// 32-bit system both view flags name the same keys).
bool Is64BitWindows();

}  // namespace kdht::platform
