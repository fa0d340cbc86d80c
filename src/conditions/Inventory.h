// Installed software and services, gathered once per run.
#pragma once

#include <string>

namespace kdht {

struct RunState;

bool GetSoftList(RunState& rs);
std::string GetServices(RunState& rs);

}  // namespace kdht
