// Requests to the agent's scheduler, written as INI files in "Scheduler INI".
#pragma once

#include <string>
#include <vector>

namespace kdht {

struct RunState;

bool CreateSchedule(RunState& rs, const std::string& section, const std::string& exe, const std::string& parameter,
                    const std::string& start, const std::string& end, const std::string& interval,
                    const std::string& weekdays, const std::string& mode);
void ScheduleKINDHM(RunState& rs);
void ClearSchedules(RunState& rs);

// The request files, by the names they are written under, in the scheduler's folder.
inline constexpr const char* kAddRequestFile = "kDHT_Addsection.ini";
inline constexpr const char* kDeleteRequestFile = "kDHT_DeleteSection.ini";
// The section names of a request file, in file order (an empty name where the file has one).
std::vector<std::string> SectionNames(RunState& rs, const std::string& file);
// True when a request section's "ExecutableName" names the feature's runner.
bool IsRunnerRequest(const std::string& executableName);

}  // namespace kdht
