// One pass of the updater, from start-up to the end of the run.
#pragma once

#include <string>

namespace kdht {

struct RunState;

// The whole run. Returns only for a run started with "DH" that reached its end.
int Main(RunState& rs);
// Ends the run: VirtualStore refresh, end line, process exit.
[[noreturn]] void EndRun(RunState& rs);
// EndRun's steps without the process exit (for tests).
void FinishRun(RunState& rs);
void PropagateToVirtualStore(RunState& rs);

// Start-up's reading of the agent's registration, shared with the state report.
// The install folder as the run uses it: the registry value in its short form, doubled
// backslashes made single, one trailing backslash. Empty when the value is missing or names no
// existing folder.
std::string ReadInstallPath(RunState& rs);
// The start-up test of one identity value ("RegID", "MemberID", "SiteID", "Type"): the line
// that start-up logs before it ends the run, empty when the value passes.
std::string IdentityFault(const std::string& valueName, const std::string& value);
inline constexpr const char* kIdentityValueNames[] = {"RegID", "MemberID", "SiteID", "Type"};

}  // namespace kdht
