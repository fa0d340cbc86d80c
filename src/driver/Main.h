// The run driver: one pass of the updater from start-up to the end of the run, and the one place
// that says how the run ended.
#pragma once

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

}  // namespace kdht
