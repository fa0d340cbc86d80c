// A template action's filter conditions, answered against the machine inventory in RunState.
#pragma once

#include <string>

namespace kdht {

struct RunState;

bool OSCheck(RunState& rs, const std::string& condition);
std::string SoftwareCheck(RunState& rs, const std::string& condition);
std::string ServiceCheck(RunState& rs, const std::string& condition);

}  // namespace kdht
