// Clearing the feature folder's staging area and installed content.
#pragma once

namespace kdht {

struct RunState;

void CleanUpPreProcess(RunState& rs);
void CleanUpPostProcess(RunState& rs);

}  // namespace kdht
