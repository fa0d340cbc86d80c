#include "conditions/Filters.h"

#include <vector>

#include "core/Log.h"
#include "core/RunState.h"
#include "platform/Text.h"

namespace kdht {
namespace {

constexpr char kAlternativeSeparator[] = "@#@";
constexpr char kPartSeparator[] = "$*$";
constexpr char kNoCondition[] = "*&*$*ALL*&*$*";
constexpr char kLikeMarker[] = "$*LIKE*$";
constexpr size_t kLikeMarkerLength = 8;

// Trademark marks that captions carry in some languages and releases but template authors
// leave out.
std::string WithoutMarks(const std::string& s) {
  std::string out = text::ReplaceAll(s, "\xC2\xAE", "");  // ®
  out = text::ReplaceAll(out, "\xE2\x84\xA2", "");        // ™
  return text::ReplaceAll(out, "(R)", "");
}

bool IsAll(const std::string& part) { return platform::Upper(text::Trim(part)) == "ALL"; }

bool SameNoCase(const std::string& a, const std::string& b) {
  return platform::Upper(text::Trim(a)) == platform::Upper(text::Trim(b));
}

std::vector<std::string> Entries(const std::string& list) {
  // An empty inventory has no entries at all, not one empty entry.
  if (list.empty()) return {};
  return text::Split(list, ";");
}

// One software entry against one element, both upper-cased.
bool SoftwareMatches(const std::string& entry, const std::string& element) {
  const bool atStart = text::StartsWith(element, kLikeMarker);
  const bool atEnd = text::EndsWith(element, kLikeMarker);
  if (atStart && atEnd) return text::Contains(entry, text::ReplaceAll(element, kLikeMarker, ""));
  if (atStart) return text::EndsWith(entry, element.substr(kLikeMarkerLength));
  if (atEnd) return text::StartsWith(entry, text::ReplaceAll(element, kLikeMarker, ""));
  return entry == element;
}

}  // namespace

bool OSCheck(RunState& rs, const std::string& condition) {
  try {
    if (text::Trim(condition).empty()) return true;
    const std::vector<std::string> alternatives = text::Split(condition, kAlternativeSeparator);
    WriteLog(rs, "MSG : Checking for OS Name and Service pack");
    for (const std::string& alternative : alternatives) {
      // Two separators in a row leave an alternative without an OS part: the condition is
      // malformed and does not hold.
      if (alternative.empty()) throw Failure(9, "Subscript out of range");
      const std::vector<std::string> parts = text::Split(alternative, kPartSeparator);
      std::string osPart = text::Trim(parts[0]);
      // A lone OS part accepts any service pack.
      const std::string servicePackPart = parts.size() > 1 ? text::Trim(parts[1]) : std::string("ALL");

      rs.OsName = WithoutMarks(rs.OsName);
      osPart = WithoutMarks(osPart);

      const bool anyOs = IsAll(osPart);
      const bool anyServicePack = IsAll(servicePackPart);
      const bool osMatches = anyOs || SameNoCase(rs.OsName, osPart);
      const bool servicePackMatches = anyServicePack || SameNoCase(rs.OsServicePack, servicePackPart);
      if (!osMatches || !servicePackMatches) continue;

      WriteLog(rs, "MSG : OS from filter condition : " + osPart);
      WriteLog(rs, "MSG : Service pack from filter condition : " + servicePackPart);
      WriteLog(rs, "MSG : OS on machine : " + rs.OsName);
      WriteLog(rs, "MSG : Service pack on machine : " + rs.OsServicePack);
      if (anyOs && !anyServicePack) {
        WriteLog(rs, "MSG : Service pack matched");
      } else if (!anyOs && anyServicePack) {
        WriteLog(rs, "MSG : OS matched");
      } else if (!anyOs && !anyServicePack) {
        WriteLog(rs, "MSG : OS And Service pack matched");
      }
      return true;
    }
    WriteLog(rs, "MSG : OS And Service pack not matched");
    return false;
  } catch (...) {
    LogTrap(rs, "OSCheck", "modMain");
    return false;
  }
}

std::string SoftwareCheck(RunState& rs, const std::string& condition) {
  try {
    if (text::Trim(condition).empty() || platform::Upper(condition) == kNoCondition) return {};
    const std::vector<std::string> elements = text::Split(condition, kAlternativeSeparator);
    const std::vector<std::string> entries = Entries(rs.SoftwareList);
    for (const std::string& element : elements) {
      WriteLog(rs, "MSG : Searching for software : " + element);
      const std::string wanted = platform::Upper(element);
      bool found = false;
      for (const std::string& entry : entries) {
        const std::string candidate = platform::Upper(entry);
        if (SoftwareMatches(candidate, wanted)) {
          WriteLog(rs, "MSG : software found : " + candidate);
          found = true;
          break;
        }
      }
      if (!found) {
        WriteLog(rs, "MSG : software not found : " + wanted);
        return "Software " + wanted + " not found";
      }
    }
    WriteLog(rs, "MSG : software Filter condition satisfied");
    return {};
  } catch (...) {
    LogTrap(rs, "SoftwareCheck", "modMain");
    // A check that could not be made does not vouch for the machine.
    return "Software check failed";
  }
}

std::string ServiceCheck(RunState& rs, const std::string& condition) {
  try {
    if (text::Trim(condition).empty()) return {};
    const std::string wanted = platform::Upper(condition);
    if (wanted == kNoCondition) return {};
    rs.ServiceList = platform::Upper(rs.ServiceList);
    const std::vector<std::string> elements = text::Split(wanted, kAlternativeSeparator);
    const std::vector<std::string> entries = Entries(rs.ServiceList);
    for (const std::string& element : elements) {
      WriteLog(rs, "MSG : Searching for service : " + element);
      const std::string name = text::Trim(element);
      bool found = false;
      for (const std::string& entry : entries) {
        if (text::Trim(entry) == name) {
          found = true;
          break;
        }
      }
      if (!found) {
        WriteLog(rs, "MSG : Service not found : " + element);
        return "Service " + element + " not found";
      }
      WriteLog(rs, "MSG : Service found : " + element);
    }
    WriteLog(rs, "MSG : Service filter conditions satisfied");
    return {};
  } catch (...) {
    LogTrap(rs, "ServiceCheck", "modMain");
    // A check that could not be made does not vouch for the machine.
    return "Service check failed";
  }
}

}  // namespace kdht
