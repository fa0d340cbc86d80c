// Installed software and services, gathered once per run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kdht {

struct RunState;

bool GetSoftList(RunState& rs);
// The programs found in each registry view of the Uninstall key: nothing for a view whose key
// could not be opened; the 64-bit view is read on 64-bit Windows only.
struct SoftwareCounts {
  std::optional<std::size_t> view32, view64;
  bool has64BitView = false;
};
bool GetSoftList(RunState& rs, SoftwareCounts* counts);
std::string GetServices(RunState& rs);

// Size argument of the enumeration call after a probe that asked for `bytesNeeded`: one
// record more than the whole records that fit in the need.
std::uint32_t ServiceEnumBufferBytes(std::uint32_t bytesNeeded, std::uint32_t recordBytes);

}  // namespace kdht
