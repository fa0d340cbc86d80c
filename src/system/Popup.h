// The agent's popup notifier, and registration of the runtime components.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kdht {

struct RunState;

bool fncCallPopup(RunState& rs, std::int32_t icon, const std::string& header, const std::string& body,
                  std::int32_t displayTime, std::int32_t height, std::int32_t width, std::int16_t transparency,
                  std::int32_t modal, std::string& closedBy);
void RegisterRuntimeDLLs(RunState& rs);

// The libraries RegisterRuntimeDLLs registers from `systemFolder` (ending in a backslash):
// the scripting runtime always, then the newest MSXML that `exists` finds. Nothing for an
// empty folder.
std::vector<std::string> RuntimeDllsToRegister(const std::string& systemFolder,
                                               const std::function<bool(const std::string&)>& exists);

}  // namespace kdht
