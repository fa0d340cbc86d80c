// The machine's operating-system name and service pack.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kdht {

struct RunState;

// Caption "#@#" CSDVersion of the last instance of the class; empty when the query fails.
std::string fncCreateWMIObject(RunState& rs, const std::string& className);
bool GetOS(RunState& rs);
std::string GetWinVersion(RunState& rs);
// major + minor / 100 with two decimals and a point: 5.1 gives "5.01", 6.0 gives "6.00".
std::string FormatWinVersion(std::uint32_t major, std::uint32_t minor);

// Inputs of the fallback naming, as the system reports them.
struct OsVersionFacts {
  std::string winVersion;          // GetWinVersion text, e.g. "5.01"
  bool extendedRecord = true;      // the extended version record could be read
  std::uint32_t platformId = 2;
  std::uint32_t major = 0, minor = 0;
  std::string servicePack;         // record's service-pack text
  std::uint32_t productType = 1;   // 1 workstation, 2 domain controller, 3 server
  std::uint32_t suiteMask = 0;
  std::string registryProductType; // ProductOptions\ProductType, when the extended record is absent
};
// Applies the three naming tables to `osName` / `osServicePack` (left as they are where the
// tables say nothing).
void FallbackOsName(const OsVersionFacts& facts, std::string& osName, std::string& osServicePack);

}  // namespace kdht
