#include "conditions/Inventory.h"

#include <optional>
#include <vector>

#include "core/Log.h"
#include "core/RegIni.h"
#include "core/RunState.h"
#include "platform/OsVersion.h"
#include "platform/Registry.h"
#include "platform/Services.h"
#include "platform/Text.h"

namespace kdht {
namespace {

constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

void AppendEntry(std::string& list, const std::string& entry) {
  if (!list.empty()) list += ';';
  list += entry;
}

// The display names of one registry view, appended to rs.SoftwareList; how many were added, or
// nothing when the key could not be opened.
std::optional<std::size_t> AppendSoftwareOfView(RunState& rs, platform::RegView view) {
  platform::RegKey uninstall;
  const long rc = uninstall.Open(platform::Hive::LocalMachine, kUninstallKey, /*queryOnly=*/false, view);
  if (rc == platform::kErrorAccessDenied) {
    WriteLog(rs, "ERR : " + std::to_string(rc) + ". Does not have sufficient privilege for " + kUninstallKey);
    return std::nullopt;
  }
  if (rc != platform::kErrorSuccess) {
    WriteLog(rs, "ERR : Could not open registry key. ErrDesc: " + fncFormatMessage(rs, static_cast<std::int32_t>(rc)) +
                     " for " + kUninstallKey);
    return std::nullopt;
  }
  std::size_t added = 0;
  // Ends at the last subkey, and also at the first subkey that cannot be opened.
  for (std::uint32_t index = 0;; ++index) {
    std::string name;
    if (uninstall.EnumSubkey(index, &name) != platform::kErrorSuccess) break;
    platform::RegKey program;
    if (program.OpenSubkey(uninstall, StripNulls(rs, name), /*queryOnly=*/false, view) != platform::kErrorSuccess) {
      break;
    }
    const std::string displayName = GetRegValueEx(rs, program, "DisplayName");
    if (!text::Trim(displayName).empty()) {
      AppendEntry(rs.SoftwareList, displayName);
      ++added;
    }
  }
  return added;
}

}  // namespace

bool GetSoftList(RunState& rs) { return GetSoftList(rs, nullptr); }

bool GetSoftList(RunState& rs, SoftwareCounts* counts) {
  try {
    rs.SoftwareList.clear();
    WriteLog(rs, std::string("MSG : Getting software list from HKEY_LOCAL_MACHINE\\") + kUninstallKey);
    // 32-bit programs first, then the 64-bit ones, which a 32-bit reader would not see.
    const auto view32 = AppendSoftwareOfView(rs, platform::RegView::Wow32);
    std::optional<std::size_t> view64;
    if (platform::Is64BitWindows()) view64 = AppendSoftwareOfView(rs, platform::RegView::Wow64);
    if (counts != nullptr) *counts = {view32, view64, platform::Is64BitWindows()};
    WriteLog(rs, "MSG : Softwares installed on machine : " + rs.SoftwareList);
    return false;
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR : GetSoftList. " + std::to_string(f.number()) + " " + f.description());
    return false;
  }
}

std::uint32_t ServiceEnumBufferBytes(std::uint32_t bytesNeeded, std::uint32_t recordBytes) {
  return (bytesNeeded / recordBytes + 1) * recordBytes;
}

std::string GetServices(RunState& rs) {
  try {
    WriteLog(rs, "MSG : Getting list of services on machine");
    std::string list;
    platform::ServiceManager manager;
    const std::uint32_t openError = manager.Open();
    if (openError != 0) {
      WriteLog(rs, "ERR : Logon failed; error = " + std::to_string(openError));
    } else {
      std::uint32_t needed = 0;
      const std::uint32_t probeError = manager.ProbeWin32Services(&needed);
      if (probeError != static_cast<std::uint32_t>(platform::kErrorMoreData)) {
        // Also the answer of a machine without any service.
        WriteLog(rs, "ERR : ERROR_MORE_DATA not returned; error " + std::to_string(probeError));
      } else {
        std::vector<std::string> names;
        const std::uint32_t enumError =
            manager.EnumWin32Services(ServiceEnumBufferBytes(needed, platform::ServiceRecordBytes()), &names);
        if (enumError != 0) {
          // One snapshot only: a service added since the probe makes this call fail.
          WriteLog(rs, "ERR : Failed to get services list : " + std::to_string(enumError));
        } else {
          for (const auto& name : names) AppendEntry(list, name);
        }
      }
    }
    rs.ServiceList = list;
    WriteLog(rs, "MSG : Services on machines : " + rs.ServiceList);
    return list;
  } catch (...) {
    LogTrap(rs, "GetServices", "Utility");
    return {};
  }
}

}  // namespace kdht
