#include "conditions/OsInfo.h"

#include <cstdio>

#include "core/Log.h"
#include "core/RegIni.h"
#include "core/RunState.h"
#include "platform/OsVersion.h"
#include "platform/Text.h"
#include "platform/Wmi.h"

namespace kdht {
namespace {

constexpr char kWmiSeparator[] = "#@#";

constexpr std::uint32_t kPlatformWin32s = 0;
constexpr std::uint32_t kPlatformWindows9x = 1;
constexpr std::uint32_t kPlatformNt = 2;

constexpr std::uint32_t kWorkstation = 1;
constexpr std::uint32_t kDomainController = 2;
constexpr std::uint32_t kServer = 3;

constexpr std::uint32_t kSuiteEnterprise = 0x0002;
constexpr std::uint32_t kSuiteDatacenter = 0x0080;
constexpr std::uint32_t kSuitePersonal = 0x0200;

constexpr char kNt4[] = "Microsoft Windows NT 4 ";
constexpr char kWindows2003[] = "Microsoft Windows 2003 ";

// Table 1: the base name by platform and version; nothing for versions the table predates.
void NameByVersion(const OsVersionFacts& f, std::string& osName) {
  if (f.platformId == kPlatformWin32s) {
    osName = "Microsoft Win32s ";
  } else if (f.platformId == kPlatformWindows9x) {
    if (f.major == 4 && f.minor == 0) {
      osName = "Microsoft Windows 95 ";
      if (text::Contains(f.servicePack, "B") || text::Contains(f.servicePack, "C")) osName += "OSR2 ";
    } else if (f.major == 4 && f.minor == 10) {
      osName = "Microsoft Windows 98 ";
      if (text::Contains(f.servicePack, "A")) osName += "SE ";
    } else if (f.major == 4 && f.minor == 90) {
      osName = "Microsoft Windows Me ";
    }
  } else if (f.platformId == kPlatformNt) {
    if (f.major <= 3) {
      osName = "Microsoft Windows NT 3 ";
    } else if (f.major == 4) {
      osName = kNt4;
    } else if (f.major == 5 && f.minor == 0) {
      osName = "Microsoft Windows 2000 ";
    } else if (f.major == 5 && f.minor == 1) {
      osName = "Microsoft Windows XP ";
    } else if (f.major == 5 && f.minor == 2) {
      osName = kWindows2003;
    }
  }
}

// Table 2: the NT edition, from the extended record or, without it, from the registry.
std::string NtEdition(const OsVersionFacts& f, const std::string& osName) {
  if (!f.extendedRecord) {
    const std::string type = platform::Upper(f.registryProductType);
    if (type == "WINNT") return "Professional ";
    if (type == "LANMANNT") return "Server ";
    if (type == "SERVERNT") return "Advanced Server ";
    return {};
  }
  if (f.productType == kWorkstation) {
    if (osName == kNt4) return {};
    return (f.suiteMask & kSuitePersonal) ? "Home Edition " : "Professional ";
  }
  if (f.productType == kServer) {
    if (osName == kNt4) return {};
    if (f.suiteMask & kSuiteDatacenter) return "DataCenter Server ";
    if (f.suiteMask & kSuiteEnterprise) return osName == kWindows2003 ? "Server " : "Advanced Server ";
    return "Server ";
  }
  return {};
}

// Table 3: the domain-controller suffix of the 5.x family.
std::string DomainControllerSuffix(const OsVersionFacts& f, const std::string& osName) {
  if (f.suiteMask & kSuiteDatacenter) return "DataCenter Server";
  if (f.suiteMask & kSuiteEnterprise) return osName == kWindows2003 ? "Server " : "Advanced Server ";
  return "Server";
}

OsVersionFacts GatherOsVersionFacts(RunState& rs, const std::string& winVersion) {
  OsVersionFacts facts;
  facts.winVersion = winVersion;
  std::optional<platform::VersionRecord> record = platform::ReadVersionRecord(/*extended=*/true);
  facts.extendedRecord = record.has_value();
  if (!record) record = platform::ReadVersionRecord(/*extended=*/false);
  if (record) {
    facts.platformId = record->platformId;
    facts.major = record->major;
    facts.minor = record->minor;
    facts.servicePack = record->servicePack;
    facts.productType = record->productType;
    facts.suiteMask = record->suiteMask;
  } else {
    // Neither record could be read: no table row applies.
    facts.platformId = 0xFFFFFFFFu;
  }
  if (!facts.extendedRecord) {
    facts.registryProductType =
        ReadReg(rs, platform::Hive::LocalMachine, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", "ProductType", 1);
  }
  return facts;
}

}  // namespace

std::string fncCreateWMIObject(RunState& rs, const std::string& className) {
  try {
    std::string result;
    UseCom(rs);
    for (const platform::WmiRow& row : platform::WmiInstances(className, {"Caption", "CSDVersion"})) {
      // The last instance wins; there is normally one.
      result = row.at(0).value_or(std::string()) + kWmiSeparator + row.at(1).value_or(std::string());
    }
    return result;
  } catch (...) {
    LogTrap(rs, "fncCreateWMIObject", "ModFunctions");
    return {};
  }
}

bool GetOS(RunState& rs) {
  try {
    const std::string answer = fncCreateWMIObject(rs, "WIN32_OPERATINGSYSTEM");
    if (!answer.empty()) {
      const size_t cut = answer.find(kWmiSeparator);
      rs.OsName = answer.substr(0, cut);
      rs.OsServicePack = cut == std::string::npos ? std::string() : answer.substr(cut + 3);
      WriteLog(rs, "MSG : OS name : " + rs.OsName);
      WriteLog(rs, "MSG : OS service Pack : " + rs.OsServicePack);
      return true;
    }
    rs.OsName.clear();
    const std::string version = GetWinVersion(rs);
    WriteLog(rs, "MSG : Windows version : " + version);
    FallbackOsName(GatherOsVersionFacts(rs, version), rs.OsName, rs.OsServicePack);
    WriteLog(rs, "MSG : OS name : " + rs.OsName);
    WriteLog(rs, "MSG : OS service Pack : " + rs.OsServicePack);
    return false;
  } catch (...) {
    LogTrap(rs, "GetOS", "ModFunctions");
    return false;
  }
}

std::string FormatWinVersion(std::uint32_t major, std::uint32_t minor) {
  // In hundredths, so that no rounding and no regional separator enters.
  const std::uint32_t hundredths = major * 100 + minor;
  char buffer[32];
  const int length = std::snprintf(buffer, sizeof buffer, "%u.%02u", static_cast<unsigned>(hundredths / 100),
                                   static_cast<unsigned>(hundredths % 100));
  return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

std::string GetWinVersion(RunState& rs) {
  try {
    const std::uint32_t low = platform::PackedVersion() & 0xFFFFu;
    return FormatWinVersion(low & 0xFFu, (low >> 8) & 0xFFu);
  } catch (...) {
    LogTrap(rs, "GetWinVersion", "Utility");
    return {};
  }
}

void FallbackOsName(const OsVersionFacts& facts, std::string& osName, std::string& osServicePack) {
  NameByVersion(facts, osName);
  if (facts.platformId == kPlatformNt) {
    osName += NtEdition(facts, osName);
    osServicePack = facts.servicePack.substr(0, facts.servicePack.find('\0'));
  }
  // The product type exists only in the extended record.
  const bool fiveFamily = facts.winVersion == "5.00" || facts.winVersion == "5.01" || facts.winVersion == "5.02";
  if (fiveFamily && facts.extendedRecord && facts.productType == kDomainController) {
    osName += DomainControllerSuffix(facts, osName);
  }
}

}  // namespace kdht
