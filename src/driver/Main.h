// The run driver: one pass of the updater from start-up to the end of the run, and the one place
// that says how the run ended.
#pragma once

#include <string>

namespace kdht {

struct RunState;

// How a run ended.
enum class RunEnd {
  Silent,    // at start-up (second instance, no install folder) or when the log became unusable
  EndOfRun,  // through EndRun: VirtualStore refresh and "MSG : Application Ended"
  Returned,  // a run started with "DH" that reached its end: no end-of-run steps
};

// The process's exit code for each way a run ends.
int ExitCode(RunEnd end);

// The whole run in `rs`; every way out of it comes back here, with every owner on the way
// released (the single-instance lock included).
RunEnd Main(RunState& rs);

// The process's run: a COM apartment, one RunState, Main. Returns the exit code.
int Run();

// The end-of-run steps: VirtualStore refresh, end line, release of the run's DOM objects.
// Called once, by Main, for every run that ends through them.
void EndRun(RunState& rs);
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
