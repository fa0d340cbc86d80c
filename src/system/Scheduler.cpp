#include "system/Scheduler.h"

#include <optional>
#include <vector>

#include "core/Log.h"
#include "core/Paths.h"
#include "core/RegIni.h"
#include "core/RunState.h"
#include "platform/FileSystem.h"
#include "platform/OneStepFile.h"
#include "platform/Text.h"

namespace kdht {
namespace {

constexpr const char* kAddFile = kAddRequestFile;
constexpr const char* kDeleteFile = kDeleteRequestFile;
constexpr char kRunnerExe[] = "kXPR\\kInDHM.exe";
constexpr char kRunnerParameter[] = "SERVICE";
constexpr char kStartTime[] = "00:01";
constexpr char kEndTime[] = "23:59";
constexpr char kWeekdays[] = "0,1,2,3,4,5,6";

// The scheduler reads its requests from the short form of its folder. Without that folder
// there is nowhere to put a request: a bare "\<file>" would land in the root of the drive.
std::string RequestFile(RunState& rs, const std::string& fileName) {
  const std::string folder = GetShortPath(rs, rs.InstallPath + "Scheduler INI");
  if (folder.empty()) throw Failure(kErrPathNotFound, "Path not found");
  return folder + "\\" + fileName;
}

}  // namespace

std::vector<std::string> SectionNames(RunState& rs, const std::string& file) {
  std::vector<std::string> names;
  const std::string list = GetSections(rs, file);
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find('\0', start);
    if (end == std::string::npos) end = list.size();
    names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

namespace {

struct RunnerSection {
  std::optional<std::string> found;  // the section that already asks for the runner
  double highest = 0;                // highest section number seen while looking
};

// Looks through a request file, in file order, for the runner's section.
RunnerSection FindRunnerSection(RunState& rs, const std::string& file) {
  RunnerSection result;
  for (const auto& section : SectionNames(rs, file)) {
    const std::string exe = GetKeyValue(rs, section, "ExecutableName", file, false);
    if (IsRunnerRequest(exe)) {
      result.found = section;
      break;
    }
    const double number = text::LeadingNumber(section);
    if (number > result.highest) result.highest = number;
  }
  return result;
}

// Makes sure the request file exists; false when it can be neither found nor created.
bool EnsureRequestFile(RunState& rs, const std::string& file) {
  try {
    // A request that an earlier run was ended in the middle of writing is dropped.
    platform::RemoveLeftoverOf(file);
    if (!rs.FileSys.FileExists(file)) rs.FileSys.WriteAnsiText(file, "");
  } catch (...) {
    // Reported by the caller as a missing file.
  }
  return rs.FileSys.FileExists(file);
}

// CreateSchedule, writing the section into `into` (a copy of the request file) when given.
bool CreateScheduleInto(RunState& rs, const std::string* into, const std::string& section, const std::string& exe,
                        const std::string& parameter, const std::string& start, const std::string& end,
                        const std::string& interval, const std::string& weekdays, const std::string& mode) {
  try {
    const std::string addFile = RequestFile(rs, kAddFile);
    const std::string deleteFile = RequestFile(rs, kDeleteFile);
    const std::string details = "SectionName=" + section + ",Executablename=" + exe + ",Parameter=" + parameter +
                                ",StartTime=" + start + ",EndTime=" + end + ",Interval=" + interval +
                                ",Weekdays=" + weekdays;
    std::string target;
    // A request of one kind cancels any pending request of the other kind.
    if (platform::Upper(mode) == "ADD") {
      target = addFile;
      if (rs.FileSys.FileExists(deleteFile)) rs.FileSys.DeleteFile(deleteFile);
      WriteLog(rs, "MSG : To Create schedule : " + details);
    } else {
      target = deleteFile;
      if (rs.FileSys.FileExists(addFile)) rs.FileSys.DeleteFile(addFile);
      WriteLog(rs, "MSG : For Clearing schedule : " + details);
    }
    if (into != nullptr) target = *into;
    bool written = SetKeyValue(rs, section, "ExecutableName", exe, target) != 0;
    written = SetKeyValue(rs, section, "Parameter", parameter, target) != 0 && written;
    written = SetKeyValue(rs, section, "StartTime", start, target) != 0 && written;
    written = SetKeyValue(rs, section, "EndTime", end, target) != 0 && written;
    written = SetKeyValue(rs, section, "Interval", interval, target) != 0 && written;
    // The scheduler expects a blank line after the weekday list.
    written = SetKeyValue(rs, section, "Weekdays", weekdays + "\r\n", target) != 0 && written;
    return written;
  } catch (...) {
    LogTrap(rs, "CreateSchedule", "modMain");
    return false;
  }
}

// A request for the runner is a pair of sections, written key by key. Written in place, a run
// ended in between left a section that names the runner without its times, which the next run
// took for a request already made. The pair goes into a copy of the request file that then takes
// the file's place: the scheduler, and the next run, see the whole request or none of it. A pair
// that could not be written whole (a full disk) leaves the file as it was.
void RunnerRequestPair(RunState& rs, const std::string& file, const std::string& first, const std::string& second,
                       const std::string& mode) {
  const bool written = platform::EditFileInOneStep(file, [&](const std::string& copy) {
    const bool one =
        CreateScheduleInto(rs, &copy, first, kRunnerExe, kRunnerParameter, kStartTime, kEndTime, "15", kWeekdays, mode);
    const bool two =
        CreateScheduleInto(rs, &copy, second, kRunnerExe, kRunnerParameter, kStartTime, kEndTime, "0", kWeekdays, mode);
    return one && two;
  });
  if (!written) WriteLog(rs, "ERR : Unable to write the schedule request " + file);
}

}  // namespace

bool IsRunnerRequest(const std::string& executableName) {
  return platform::Upper(text::Trim(executableName)) == "KXPR\\KINDHM.EXE";
}

bool CreateSchedule(RunState& rs, const std::string& section, const std::string& exe, const std::string& parameter,
                    const std::string& start, const std::string& end, const std::string& interval,
                    const std::string& weekdays, const std::string& mode) {
  return CreateScheduleInto(rs, nullptr, section, exe, parameter, start, end, interval, weekdays, mode);
}

void ScheduleKINDHM(RunState& rs) {
  try {
    const std::string file = RequestFile(rs, kAddFile);
    RunnerSection scan;
    if (EnsureRequestFile(rs, file)) {
      scan = FindRunnerSection(rs, file);
      if (scan.found) WriteLog(rs, "MSG : Schedule found for kInDHM.exe : " + *scan.found);
    } else {
      WriteLog(rs, "MSG : File not found : kDHT_Addsection.ini ");
      // Without the file there is no list of requests to extend.
      throw Failure(kErrFileNotFound, "File not found");
    }
    if (scan.found) return;

    WriteLog(rs, "MSG : Schedule not found for kInDHM.exe");
    const double section = scan.highest + 1;
    WriteLog(rs, "MSG : Creating Schedule for kInDHM.exe");
    RunnerRequestPair(rs, file, text::NumberText(section), text::NumberText(section + 1), "ADD");
  } catch (...) {
    LogTrap(rs, "ScheduleKINDHM", "modMain");
  }
}

void ClearSchedules(RunState& rs) {
  try {
    const std::string file = RequestFile(rs, kDeleteFile);
    RunnerSection scan;
    if (EnsureRequestFile(rs, file)) {
      scan = FindRunnerSection(rs, file);
      if (scan.found) {
        WriteLog(rs, "MSG : Schedule found for kInDHM.exe in kDHT_DeleteSection.ini: " + *scan.found);
      }
    } else {
      WriteLog(rs, "MSG : File not found : kDHT_DeleteSection.ini ");
    }
    // An existing request for the runner is rewritten in place (ending with interval 0);
    // otherwise a new pair is appended.
    const std::string first = scan.found ? *scan.found : text::NumberText(scan.highest + 1);
    const std::string second = scan.found ? *scan.found : text::NumberText(scan.highest + 2);
    WriteLog(rs, "MSG : Creating Schedule for kInDHM.exe in kDHT_DeleteSection.ini");
    RunnerRequestPair(rs, file, first, second, "DELETE");
  } catch (...) {
    LogTrap(rs, "ClearSchedules", "modMain");
  }
}

}  // namespace kdht
