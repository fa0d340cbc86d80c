#include "core/RegIni.h"

#include "core/Log.h"
#include "core/RunState.h"
#include "platform/Profile.h"

namespace kdht {

std::string ReadReg(RunState& rs, platform::Hive hive, const std::string& key, const std::string& valueName, int type,
                    platform::RegView view) {
  try {
    platform::RegKey k;
    if (k.Open(hive, key, /*queryOnly=*/true, view) != platform::kErrorSuccess) return {};
    if (type == 1) {
      std::string raw;
      if (k.QueryRawString(valueName, &raw) != platform::kErrorSuccess) return {};
      // The registry stores the terminating NUL with the text.
      if (!raw.empty() && raw.back() == '\0') raw.pop_back();
      return raw;
    }
    if (type == 4) {
      std::int32_t number = 0;
      if (k.QueryDword(valueName, &number) != platform::kErrorSuccess) return {};
      return std::to_string(number);
    }
    return {};
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "Error " + std::to_string(f.number()) + " (" + f.description() +
                     ") in procedure ReadReg of Module ModFunctions");
    return {};
  }
}

std::string GetRegValueEx(RunState& rs, const platform::RegKey& key, const std::string& valueName) {
  try {
    std::uint32_t type = 0, bytes = 0;
    if (key.QueryInfo(valueName, &type, &bytes) != platform::kErrorSuccess) return {};
    if (type != platform::kRegSz) return {};
    std::string raw;
    if (key.QueryRawString(valueName, &raw) != platform::kErrorSuccess) return {};
    return StripNulls(rs, raw);
  } catch (...) {
    LogTrap(rs, "GetRegValueEx", "Utility");
    return {};
  }
}

std::string StripNulls(RunState& rs, const std::string& text) {
  try {
    const size_t p = text.find('\0');
    return p == std::string::npos ? text : text.substr(0, p);
  } catch (...) {
    LogTrap(rs, "StripNulls", "ModFunctions");
    return {};
  }
}

std::string GetSections(RunState& rs, const std::string& file) {
  try {
    return platform::ProfileSectionNames(file, 8192);
  } catch (...) {
    LogTrap(rs, "GetSections", "Utility");
    return {};
  }
}

std::string GetKeyValue(RunState& rs, const std::string& section, const std::string& key, const std::string& file,
                        bool numberMode) {
  try {
    if (numberMode) return std::to_string(platform::ProfileInt(section, key, 0, file));
    return platform::ProfileString(section, key, file, 255);
  } catch (...) {
    LogTrap(rs, "GetKeyValue", "Utility");
    return {};
  }
}

std::int32_t SetKeyValue(RunState& rs, const std::string& section, const std::string& key, const std::string& value,
                         const std::string& file) {
  try {
    return platform::WriteProfileText(section, key, value, file);
  } catch (...) {
    LogTrap(rs, "SetKeyValue", "Utility");
    return 0;
  }
}

}  // namespace kdht
