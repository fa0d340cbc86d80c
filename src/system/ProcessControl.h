// Finding, ending and starting processes.
#pragma once

#include <cstdint>
#include <string>

namespace kdht {

struct RunState;

std::uint32_t GetCurrentUserToken(RunState& rs);
bool fncExecuteInUserAcc(RunState& rs, std::uint32_t processId, const std::string& program,
                         const std::string& commandLine, const std::string& workingFolder);
void KillProcess(RunState& rs, std::string& names);
void GetProcessList(RunState& rs, std::string& names, bool restart);

}  // namespace kdht
