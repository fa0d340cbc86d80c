#include "info/StateReport.h"

#include <algorithm>
#include <tuple>

#include "conditions/OsInfo.h"
#include "core/Paths.h"
#include "core/RegIni.h"
#include "core/RunState.h"
#include "driver/Main.h"
#include "platform/FileSystem.h"
#include "platform/Processes.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "scripts/Seals.h"
#include "server/Reports.h"
#include "server/WebPost.h"
#include "system/ProcessControl.h"
#include "system/Scheduler.h"

namespace kdht::info {
namespace {

constexpr const char* kAgentKey = "SOFTWARE\\VORNOD";
constexpr const char* kDomClsid = "{F6D90F11-9C73-11D3-B32E-00C04F990BB4}";

std::string HeldTemplatePath(const RunState& rs) { return rs.InstallPath + "kXPR\\Herald\\kDHMenu.xml"; }

std::optional<std::string> NodeText(const platform::XmlDocument& doc, const std::string& path) {
  try {
    if (auto node = doc.SelectSingle(path)) return node->Text();
  } catch (...) {
  }
  return std::nullopt;
}

std::string RootName(const platform::XmlDocument& doc) {
  try {
    if (auto root = doc.DocumentElement()) return root->Name();
  } catch (...) {
  }
  return {};
}


bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return days[(month - 1) % 12];
}

HeldTemplate ReadHeld(RunState& rs) {
  HeldTemplate held;
  held.path = HeldTemplatePath(rs);
  held.exists = rs.FileSys.FileExists(held.path);
  if (!held.exists) return held;
  std::string libraryError;
  const std::string checksum = Checksum(rs, held.path, libraryError);
  const std::string seal = SealPathFor(held.path);
  if (!libraryError.empty()) {
    held.seal = "no checksum";
    held.sealDetail = libraryError;
  } else if (!rs.FileSys.FileExists(seal)) {
    held.seal = "missing";
    held.sealDetail = seal;
  } else if (GetDecryptedMD5(rs, seal, checksum)) {
    held.seal = "trusted";
    held.sealDetail = seal;
  } else {
    held.seal = "not matching";
    held.sealDetail = seal;
  }
  try {
    held.loaded = rs.rsXML && rs.rsXML->Load(held.path);
  } catch (...) {
    held.loaded = false;
  }
  if (held.loaded) {
    held.root = RootName(*rs.rsXML);
    held.id = NodeText(*rs.rsXML, held.root + "/templateid").value_or("");
    held.version = NodeText(*rs.rsXML, held.root + "/templatever").value_or("");
  }
  return held;
}

StatusFile ReadStatus(RunState& rs, const platform::LocalTime& now) {
  StatusFile status;
  status.path = rs.InstallPath + "kXPR\\kDHTStatus.ini";
  status.exists = rs.FileSys.FileExists(status.path);
  status.lastRun = GetKeyValue(rs, "kDHT", "LastRunDateTime", status.path, false);
  status.tempId = GetKeyValue(rs, "kDHT", "TempId", status.path, false);
  status.tempVer = GetKeyValue(rs, "kDHT", "TempVer", status.path, false);
  status.status = GetKeyValue(rs, "kDHT", "Status", status.path, false);
  platform::LocalTime last;
  status.lastRunValid = text::ParseStamp(status.lastRun, &last);
  if (status.lastRunValid) status.dueBy = DailyReportDue(last);
  // The updater's own rule, with the stored template as the run's: what time alone decides.
  status.dueAtNextRun = ReportDue(status.lastRun, status.tempId, status.tempVer, text::Trim(status.tempId),
                                  text::Trim(status.tempVer), now);
  return status;
}

SchedulerRequests ReadScheduler(RunState& rs) {
  SchedulerRequests out;
  out.folder = GetShortPath(rs, rs.InstallPath + "Scheduler INI");
  if (out.folder.empty()) {
    out.folder = rs.InstallPath + "Scheduler INI";
    return out;
  }
  for (const char* name : {kAddRequestFile, kDeleteRequestFile}) {
    const std::string file = out.folder + "\\" + name;
    const bool exists = rs.FileSys.FileExists(file);
    (name == kAddRequestFile ? out.addFileExists : out.deleteFileExists) = exists;
    if (!exists) continue;
    for (const std::string& section : SectionNames(rs, file)) {
      if (section.empty()) continue;
      SchedulerRequest r;
      r.file = name;
      r.section = section;
      r.executable = GetKeyValue(rs, section, "ExecutableName", file, false);
      r.parameter = GetKeyValue(rs, section, "Parameter", file, false);
      r.startTime = GetKeyValue(rs, section, "StartTime", file, false);
      r.endTime = GetKeyValue(rs, section, "EndTime", file, false);
      r.interval = GetKeyValue(rs, section, "Interval", file, false);
      r.weekdays = GetKeyValue(rs, section, "Weekdays", file, false);
      r.runner = IsRunnerRequest(r.executable);
      out.requests.push_back(std::move(r));
    }
  }
  return out;
}

PostFiles ReadPostFiles(RunState& rs) {
  PostFiles out;
  out.folder = rs.InstallPath + "XPRPostLogs";
  const std::vector<std::string> names = FileNamesIn(rs, out.folder);
  out.count = names.size();
  const auto key = [](const platform::LocalTime& t) {
    return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second);
  };
  for (const std::string& name : names) {
    const auto when = PostFileTime(name);
    if (!when) continue;
    if (!out.oldestTime || key(*when) < key(*out.oldestTime)) {
      out.oldest = name;
      out.oldestTime = when;
    }
  }
  return out;
}

// Counted as the updater finds the runner to end it: by executable name, whole names only.
std::size_t RunnerProcesses() {
  const std::vector<std::string> runner = ProcessNameList("KINDHM.EXE");
  std::size_t count = 0;
  try {
    platform::ProcessSnapshot snapshot(platform::kSnapAll);
    for (auto entry = snapshot.First(); entry; entry = snapshot.Next()) {
      if (IsListedProcess(entry->exeName, runner)) ++count;
    }
  } catch (...) {
  }
  return count;
}

}  // namespace

std::vector<std::string> FileNamesIn(RunState& rs, const std::string& folder) {
  try {
    if (rs.FileSys.FolderExists(folder)) return rs.FileSys.FileNames(folder);
  } catch (...) {
  }
  return {};
}

bool PrepareReader(RunState& rs) {
  rs.Log = LogTarget::Discard;
  rs.ExePath = platform::ExecutablePath();
  rs.FileSys = FileSystemService();
  rs.InstallPath = ReadInstallPath(rs);
  if (rs.InstallPath.empty()) return false;
  rs.RegId = ReadReg(rs, platform::Hive::LocalMachine, kAgentKey, "RegID", 1);
  rs.MemberId = ReadReg(rs, platform::Hive::LocalMachine, kAgentKey, "MemberID", 1);
  rs.SiteId = ReadReg(rs, platform::Hive::LocalMachine, kAgentKey, "SiteID", 1);
  rs.RegType = ReadReg(rs, platform::Hive::LocalMachine, kAgentKey, "Type", 1);
  try {
    rs.rsXML = platform::XmlDocument::CreateByProgId("msxml2.DOMDocument");
  } catch (...) {
    try {
      rs.rsXML = platform::XmlDocument::CreateByClsid(kDomClsid);
    } catch (...) {
    }
  }
  return true;
}

Inventory TakeInventory(RunState& rs) {
  Inventory inv;
  GetOS(rs);
  GetSoftList(rs, &inv.software);
  GetServices(rs);
  inv.osName = rs.OsName;
  inv.osServicePack = rs.OsServicePack;
  inv.services = rs.ServiceList.empty() ? 0 : text::Split(rs.ServiceList, ";").size();
  return inv;
}

State ReadState(RunState& rs) {
  State state;
  state.now = rs.Now();
  state.installValue = ReadReg(rs, platform::Hive::LocalMachine, kAgentKey, "InstallationPath", 1);
  state.installPath = rs.InstallPath;
  for (const char* name : kIdentityValueNames) {
    IdentityValue v;
    v.name = name;
    v.value = ReadReg(rs, platform::Hive::LocalMachine, kAgentKey, name, 1);
    v.fault = IdentityFault(name, v.value);
    state.identity.push_back(std::move(v));
  }
  state.held = ReadHeld(rs);
  state.status = ReadStatus(rs, state.now);
  state.scheduler = ReadScheduler(rs);
  state.posts = ReadPostFiles(rs);
  state.runnerProcesses = RunnerProcesses();
  state.runnerRunning = state.runnerProcesses > 0;
  state.inventory = TakeInventory(rs);
  state.crashes = ReadCrashes(rs);
  return state;
}

bool LoadTemplateForActions(RunState& rs, const std::string& file, std::string* source, std::string* problem) {
  if (!rs.rsXML) {
    *problem = "no XML document component (msxml2.DOMDocument) on this machine";
    return false;
  }
  if (file.empty()) {
    *source = HeldTemplatePath(rs);
    if (!rs.FileSys.FileExists(*source)) {
      *problem = "no template is held on this machine (" + *source + " is missing)";
      return false;
    }
    bool loaded = false;
    try {
      loaded = rs.rsXML->Load(*source);
    } catch (...) {
    }
    if (!loaded || RootName(*rs.rsXML).empty()) {
      *problem = "the held template " + *source + " cannot be loaded as XML";
      return false;
    }
    return true;
  }
  *source = file;
  if (!rs.FileSys.FileExists(file)) {
    *problem = "template file not found: " + file;
    return false;
  }
  bool loaded = false;
  try {
    // Read as the updater reads a reply, with the same repair of the script action's name.
    const std::string bytes = platform::ReadFileBytes(file);
    const bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                       static_cast<unsigned char>(bytes[1]) == 0xFE;
    std::string textOf = utf16 ? rs.FileSys.ReadText(file) : DecodeReplyText(bytes);
    textOf = text::ReplaceAll(textOf, "Execute X&PR Script", "Execute XPR Script");
    loaded = rs.rsXML->LoadXml(textOf);
  } catch (...) {
    loaded = false;
  }
  if (!loaded || RootName(*rs.rsXML).empty()) {
    *problem = "the template file " + file + " cannot be loaded as XML";
    return false;
  }
  return true;
}

ActionsReport EvaluateActions(RunState& rs, const std::string& source) {
  ActionsReport report;
  report.source = source;
  report.inventory = TakeInventory(rs);
  platform::XmlDocument& doc = *rs.rsXML;
  report.root = RootName(doc);
  report.templateId = NodeText(doc, report.root + "/templateid").value_or("");
  report.templateVersion = NodeText(doc, report.root + "/templatever").value_or("");
  std::vector<platform::XmlNode> actions;
  try {
    actions = doc.Select(report.root + "/action");
  } catch (...) {
  }
  for (auto& action : actions) {
    ActionReport a;
    a.index = report.actions.size() + 1;
    try {
      const auto name = action.Attribute("name");
      a.hasName = name.has_value();
      a.name = name.value_or("");
      const auto id = action.Attribute("id");
      a.hasId = id.has_value();
      a.id = id.value_or("");
    } catch (...) {
    }
    const std::string kind = platform::Upper(text::Trim(a.name));
    a.script = a.hasName && (kind == "EXECUTE XPR SCRIPT" || kind == "EXECUTE X&PR SCRIPT");
    if (a.script) {
      a.answer = AnswerScriptConditions(rs, action);
      a.plan = PlanScriptFetch(rs, action);
    } else {
      a.answer = AnswerPlainConditions(rs, action);
    }
    report.actions.push_back(std::move(a));
  }
  return report;
}

std::optional<platform::LocalTime> PostFileTime(const std::string& name) {
  const std::string upper = text::AsciiUpper(name);
  if (!text::EndsWith(upper, ".TXT") || name.size() < 4 + 14 + 1) return std::nullopt;
  const std::string digits = name.substr(name.size() - 4 - 14, 14);
  if (name[name.size() - 4 - 15] != '_') return std::nullopt;
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  const auto num = [&](size_t at, size_t n) { return std::stoi(digits.substr(at, n)); };
  platform::LocalTime t{num(4, 4), num(0, 2), num(2, 2), num(8, 2), num(10, 2), num(12, 2)};
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) || t.hour > 23 ||
      t.minute > 59 || t.second > 59) {
    return std::nullopt;
  }
  return t;
}

platform::LocalTime DailyReportDue(const platform::LocalTime& last) {
  platform::LocalTime due = last;
  due.minute = 0;
  due.second = 0;
  // Twenty-four boundaries on: the same whole hour of the next day.
  if (++due.day > DaysInMonth(due.year, due.month)) {
    due.day = 1;
    if (++due.month > 12) {
      due.month = 1;
      ++due.year;
    }
  }
  return due;
}

}  // namespace kdht::info
