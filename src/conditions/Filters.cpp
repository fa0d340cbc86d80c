#include "conditions/Filters.h"

#include <utility>
#include <vector>

#include "conditions/FilterText.h"
#include "core/Log.h"
#include "core/RunState.h"
#include "platform/Text.h"

namespace kdht {
namespace {

bool IsAll(const std::string& part) { return platform::Upper(text::Trim(part)) == "ALL"; }

bool SameNoCase(const std::string& a, const std::string& b) {
  return platform::Upper(text::Trim(a)) == platform::Upper(text::Trim(b));
}

std::vector<std::string> Entries(const std::string& list) {
  // An empty inventory has no entries at all, not one empty entry.
  if (list.empty()) return {};
  return text::Split(list, ";");
}

// An inventory list split into entries, each prepared for comparison, once for every list
// rather than once for every condition element: a template of thousands of actions against a
// machine with thousands of programs would otherwise split and upper-case the whole list again
// for each element. A list that changes is prepared anew.
bool Holds(const PreparedList& prepared, const std::string& list) {
  return prepared.ready && list == prepared.source;
}

template <class Prepare>
const std::vector<std::string>& PreparedFor(PreparedList& prepared, const std::string& list, Prepare&& prepare) {
  if (!Holds(prepared, list)) {
    std::vector<std::string> entries = Entries(list);
    for (std::string& entry : entries) entry = prepare(entry);
    prepared.entries.swap(entries);
    prepared.source = list;
    prepared.ready = true;
  }
  return prepared.entries;
}

// The software entries of SoftwareList, upper-cased.
const std::vector<std::string>& UpperSoftwareEntries(RunState& rs) {
  return PreparedFor(rs.SoftwareEntries, rs.SoftwareList,
                     [](const std::string& entry) { return platform::Upper(entry); });
}

// The service entries, trimmed, from ServiceList upper-cased. The list itself is upper-cased in
// place as the check has always done, but only when it has changed since it was prepared.
const std::vector<std::string>& TrimmedServiceEntries(RunState& rs) {
  if (!Holds(rs.ServiceEntries, rs.ServiceList)) rs.ServiceList = platform::Upper(rs.ServiceList);
  return PreparedFor(rs.ServiceEntries, rs.ServiceList, [](const std::string& entry) { return text::Trim(entry); });
}

}  // namespace

CheckVerdict OSVerdict(RunState& rs, const std::string& condition) {
  size_t number = 0;  // the alternative being tried, from 1
  try {
    if (text::Trim(condition).empty()) return {true, false, "no condition"};
    const std::vector<std::string> alternatives = text::Split(condition, kAlternativeSeparator);
    WriteLog(rs, "MSG : Checking for OS Name and Service pack");
    for (const std::string& alternative : alternatives) {
      ++number;
      // Two separators in a row leave an alternative without an OS part: the condition is
      // malformed and does not hold.
      if (alternative.empty()) throw Failure(9, "Subscript out of range");
      const OsAlternative parts = SplitOsAlternative(alternative);
      std::string osPart = parts.os;
      const std::string& servicePackPart = parts.servicePack;

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
      std::string reason = "alternative " + std::to_string(number) + " matched: OS \"";
      reason += osPart;
      reason += "\", service pack \"";
      reason += servicePackPart;
      reason += '"';
      return {true, true, std::move(reason)};
    }
    WriteLog(rs, "MSG : OS And Service pack not matched");
    return {false, true,
            "no alternative matches OS \"" + rs.OsName + "\", service pack \"" + rs.OsServicePack + "\""};
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, TrapLine(f, "OSCheck", "modMain"));
    return {false, true,
            "check failed at alternative " + std::to_string(number) + ": " + std::to_string(f.number()) + " (" +
                f.description() + ")"};
  }
}

CheckVerdict SoftwareVerdict(RunState& rs, const std::string& condition) {
  try {
    if (text::Trim(condition).empty() || platform::Upper(condition) == kNoCondition) {
      return {true, false, "no condition"};
    }
    const std::vector<std::string> elements = text::Split(condition, kAlternativeSeparator);
    const std::vector<std::string>& entries = UpperSoftwareEntries(rs);
    std::string found;
    for (const std::string& element : elements) {
      WriteLog(rs, "MSG : Searching for software : " + element);
      const std::string wanted = platform::Upper(element);
      const SoftwarePattern match(wanted);
      const std::string* hit = nullptr;
      for (const std::string& candidate : entries) {
        if (match.Matches(candidate)) {
          WriteLog(rs, "MSG : software found : " + candidate);
          hit = &candidate;
          break;
        }
      }
      if (hit == nullptr) {
        WriteLog(rs, "MSG : software not found : " + wanted);
        return {false, true, "Software " + wanted + " not found"};
      }
      found += (found.empty() ? "" : "; ") + ("\"" + element + "\" found as \"" + *hit + "\"");
    }
    WriteLog(rs, "MSG : software Filter condition satisfied");
    return {true, true, found};
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, TrapLine(f, "SoftwareCheck", "modMain"));
    // A check that could not be made does not vouch for the machine.
    return {false, true, "Software check failed: " + std::to_string(f.number()) + " (" + f.description() + ")"};
  }
}

CheckVerdict ServiceVerdict(RunState& rs, const std::string& condition) {
  try {
    if (text::Trim(condition).empty()) return {true, false, "no condition"};
    const std::string wanted = platform::Upper(condition);
    if (wanted == kNoCondition) return {true, false, "no condition"};
    const std::vector<std::string>& entries = TrimmedServiceEntries(rs);
    const std::vector<std::string> elements = text::Split(wanted, kAlternativeSeparator);
    std::string found;
    for (const std::string& element : elements) {
      WriteLog(rs, "MSG : Searching for service : " + element);
      const std::string name = text::Trim(element);
      bool present = false;
      for (const std::string& entry : entries) {
        if (entry == name) {
          present = true;
          break;
        }
      }
      if (!present) {
        WriteLog(rs, "MSG : Service not found : " + element);
        return {false, true, "Service " + element + " not found"};
      }
      WriteLog(rs, "MSG : Service found : " + element);
      found += (found.empty() ? "" : ", ") + name;
    }
    WriteLog(rs, "MSG : Service filter conditions satisfied");
    return {true, true, "found: " + found};
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, TrapLine(f, "ServiceCheck", "modMain"));
    // A check that could not be made does not vouch for the machine.
    return {false, true, "Service check failed: " + std::to_string(f.number()) + " (" + f.description() + ")"};
  }
}

bool OSCheck(RunState& rs, const std::string& condition) { return OSVerdict(rs, condition).holds; }

std::string SoftwareCheck(RunState& rs, const std::string& condition) {
  CheckVerdict verdict = SoftwareVerdict(rs, condition);
  return verdict.holds ? std::string() : std::move(verdict.reason);
}

std::string ServiceCheck(RunState& rs, const std::string& condition) {
  CheckVerdict verdict = ServiceVerdict(rs, condition);
  return verdict.holds ? std::string() : std::move(verdict.reason);
}

}  // namespace kdht
