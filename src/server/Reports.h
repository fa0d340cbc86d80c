// Success and failure reports, the status file that decides when one is due, and post files
// for reports the server did not accept.
#pragma once

#include <string>

#include "platform/Clock.h"

namespace kdht {

struct RunState;

// Removes the copy of the status file that a run ended in the middle of recording left behind
// (a run that asks for nothing new never reaches the record).
void DropUnfinishedStatus(RunState& rs);
bool UpdateStatus(RunState& rs);
void WPSuccess(RunState& rs);
void WPFailure(RunState& rs);
void WpFileXPRPostLogs(RunState& rs, std::string& xml, std::string& requestName);

// Pure parts, for the callers above and for tests.
std::string SuccessReportXml(const RunState& rs, const platform::LocalTime& scanTime);
std::string FailureReportXml(const RunState& rs, const platform::LocalTime& scanTime);
// Characters that a file name cannot hold are replaced in the registration id part.
std::string PostFileName(const std::string& requestName, const std::string& regId, const platform::LocalTime& now);
// The status rule: due when the stored time is not a date and time, lies 24 or more clock-hour
// boundaries back or in the future, or when the stored template (trimmed) is not this one.
bool ReportDue(const std::string& lastRun, const std::string& storedTempId, const std::string& storedTempVer,
               const std::string& tempId, const std::string& tempVer, const platform::LocalTime& now);

}  // namespace kdht
