// The reports as a person reads them on a console, and as one JSON document.
#pragma once

#include <string>

#include "info/StateReport.h"

namespace kdht::info {

std::string StateText(const State& state, const std::string& version);
std::string StateJson(const State& state, const std::string& version);
std::string ActionsText(const ActionsReport& report, const std::string& version);
std::string ActionsJson(const ActionsReport& report, const std::string& version);

}  // namespace kdht::info
