// One pass of the updater, from start-up to the end of the run.
#pragma once

namespace kdht {

struct RunState;

// The whole run. Returns only for a run started with "DH" that reached its end.
int Main(RunState& rs);
// Ends the run: VirtualStore refresh, end line, process exit.
[[noreturn]] void EndRun(RunState& rs);
// EndRun's steps without the process exit (for tests).
void FinishRun(RunState& rs);
void PropagateToVirtualStore(RunState& rs);

}  // namespace kdht
