#include "server/Reports.h"

#include "core/Log.h"
#include "core/RegIni.h"
#include "core/RunState.h"
#include "platform/OneStepFile.h"
#include "platform/Text.h"
#include "server/WebPost.h"
#include "system/Popup.h"

namespace kdht {
namespace {

constexpr const char* kSuccessRequest = "wpdcmregidtmplveriu";
constexpr const char* kFailureRequest = "wpdcmtmplupdfailiu";
constexpr const char* kStatusSection = "kDHT";
constexpr long long kReportEveryHours = 24;

std::string StatusFilePath(const RunState& rs) { return rs.InstallPath + "kXPR\\kDHTStatus.ini"; }

std::string X(const std::string& value) { return text::XmlEscape(value); }

// A registration id is the agent's, but it becomes part of a file name: anything that could
// leave the folder or that Windows refuses in a name is replaced, so the report is still kept.
std::string FileNamePart(const std::string& value) {
  std::string out = value;
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || c == '\\' || c == '/' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
        c == '|') {
      c = '_';
    }
  }
  return out;
}

void PostReport(RunState& rs, const std::string& requestName, const std::string& xml, const std::string& popupBody) {
  std::string url = BuildRequestUrl(rs, requestName);
  rs.PostXml = xml;
  const std::string reply = WebPost(rs, rs.PostXml, url, rs.PostError);
  if (reply != "1") {
    std::string name = requestName;
    WpFileXPRPostLogs(rs, rs.PostXml, name);
  }
  if (platform::Upper(rs.CommandWord) == "DH") {
    std::string closedBy;
    fncCallPopup(rs, 3, "Desk Herald", popupBody, 8000, 1300, 6000, 100, 1, closedBy);
  }
}

}  // namespace

std::string SuccessReportXml(const RunState& rs, const platform::LocalTime& scanTime) {
  return "<wpdcmregidtmplveriu><mmid>" + X(rs.MemberId) + "</mmid><siteid>" + X(rs.SiteId) + "</siteid><regid>" +
         X(rs.RegId) + "</regid><tempid>" + X(rs.TempId) + "</tempid>" + "<tempver>" + X(rs.TempVer) +
         "</tempver><exever>" + X(rs.ExeVersion) + "</exever><scandt>" + text::FormatStamp(scanTime) +
         " </scandt></wpdcmregidtmplveriu>";
}

std::string FailureReportXml(const RunState& rs, const platform::LocalTime& scanTime) {
  return "<wpdcmtmplupdfailiu><mmid>" + X(rs.MemberId) + "</mmid><siteid>" + X(rs.SiteId) + "</siteid><regid>" +
         X(rs.RegId) + "</regid><tempid>" + X(rs.TempId) + " </tempid>" + "<tempver>" + X(rs.TempVer) +
         "</tempver><exever>" + X(rs.ExeVersion) + "</exever><scandt>" + text::FormatStamp(scanTime) +
         "</scandt><faildesc>" + X(rs.sStatus) + "</faildesc></wpdcmtmplupdfailiu>";
}

std::string PostFileName(const std::string& requestName, const std::string& regId, const platform::LocalTime& now) {
  return requestName + "_N_" + FileNamePart(regId) + "_" + requestName + "_" + text::FormatCompact(now) + ".txt";
}

bool ReportDue(const std::string& lastRun, const std::string& storedTempId, const std::string& storedTempVer,
               const std::string& tempId, const std::string& tempVer, const platform::LocalTime& now) {
  platform::LocalTime last;
  if (!text::ParseStamp(lastRun, &last)) return true;
  const long long hours = text::HourBoundariesBetween(last, now);
  // A last report "in the future" means the clock was set back: waiting for it would silence
  // reports until the clock caught up.
  if (hours >= kReportEveryHours || hours < 0) return true;
  return text::Trim(storedTempId) != tempId || text::Trim(storedTempVer) != tempVer;
}

void DropUnfinishedStatus(RunState& rs) {
  try {
    platform::RemoveLeftoverOf(StatusFilePath(rs));
  } catch (...) {
    LogTrap(rs, "DropUnfinishedStatus", "modMain");
  }
}

bool UpdateStatus(RunState& rs) {
  try {
    const std::string file = StatusFilePath(rs);
    // A record that an earlier run was ended in the middle of writing is dropped.
    platform::RemoveLeftoverOf(file);
    const platform::LocalTime now = rs.Now();
    const std::string lastRun = GetKeyValue(rs, kStatusSection, "LastRunDateTime", file, false);
    const std::string storedTempId = GetKeyValue(rs, kStatusSection, "TempId", file, false);
    const std::string storedTempVer = GetKeyValue(rs, kStatusSection, "TempVer", file, false);
    if (!ReportDue(lastRun, storedTempId, storedTempVer, rs.TempId, rs.TempVer, now)) return false;

    // The four keys go into a copy that then takes the file's place: a record cut short would
    // name a report that was never made, or none.
    bool written = false;
    try {
      written = platform::EditFileInOneStep(file, [&](const std::string& copy) {
        bool ok = SetKeyValue(rs, kStatusSection, "LastRunDateTime", text::FormatStamp(now), copy) != 0;
        ok = SetKeyValue(rs, kStatusSection, "TempId", rs.TempId, copy) != 0 && ok;
        ok = SetKeyValue(rs, kStatusSection, "TempVer", rs.TempVer, copy) != 0 && ok;
        ok = SetKeyValue(rs, kStatusSection, "Status", rs.sStatus.empty() ? "SUCCESS" : "FAILED", copy) != 0 && ok;
        return ok;
      });
    } catch (...) {
      const Failure f = CurrentFailure();
      WriteLog(rs, "ERR : " + std::to_string(f.number()) + " (" + f.description() + ") writing " + file);
    }
    // The report still goes out; without the record the next run simply reports again.
    if (!written) WriteLog(rs, "ERR : Unable to write status file " + file);
    return true;
  } catch (...) {
    LogTrap(rs, "UpdateStatus", "modMain");
    return false;
  }
}

void WPSuccess(RunState& rs) {
  try {
    PostReport(rs, kSuccessRequest, SuccessReportXml(rs, rs.Now()), "Updated successfully.");
  } catch (...) {
    LogTrap(rs, "WPSuccess", "modMain");
  }
}

void WPFailure(RunState& rs) {
  try {
    PostReport(rs, kFailureRequest, FailureReportXml(rs, rs.Now()), "Updated failed.");
  } catch (...) {
    LogTrap(rs, "WPFailure", "modMain");
  }
}

void WpFileXPRPostLogs(RunState& rs, std::string& xml, std::string& requestName) {
  try {
    const std::string folder = rs.InstallPath + "XPRPostLogs";
    if (!rs.FileSys.FolderExists(folder)) rs.FileSys.CreateFolder(folder);
    const std::string name = PostFileName(requestName, rs.RegId, rs.Now());
    const std::string configuration = rs.InstallPath + "Configuration";
    if (!rs.FileSys.FolderExists(configuration)) rs.FileSys.CreateFolder(configuration);
    WriteLog(rs, "MSG : Creating webpost file  " + name + " in XPRPostLogs folder");
    rs.FileSys.WriteAnsiText(folder + "\\" + name, xml + "\r\n");
  } catch (...) {
    LogTrap(rs, "WpFileXPRPostLogs", "modMain");
  }
}

}  // namespace kdht
