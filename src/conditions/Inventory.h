// Installed software and services, gathered once per run.
#pragma once

#include <cstdint>
#include <string>

namespace kdht {

struct RunState;

bool GetSoftList(RunState& rs);
std::string GetServices(RunState& rs);

// Size argument of the enumeration call after a probe that asked for `bytesNeeded`: one
// record more than the whole records that fit in the need.
std::uint32_t ServiceEnumBufferBytes(std::uint32_t bytesNeeded, std::uint32_t recordBytes);

}  // namespace kdht
