// The updater's newest crash, as its dumps in the run log's folder tell it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace kdht {

struct RunState;

namespace info {

// What a minidump says of its exception: the code, and where it happened.
struct DumpException {
  std::uint32_t code = 0;
  std::uint64_t address = 0;
  std::string module;  // file name of the module holding the address; empty when none does
  std::uint64_t offset = 0;  // from the module's base, or the address itself without a module
};

// Reads the exception and module list streams of a minidump; nothing when the bytes are not a
// minidump with an exception stream (every offset is checked against the size).
std::optional<DumpException> ParseMinidump(const std::string& bytes);

struct Crashes {
  std::string folder;
  std::size_t dumps = 0;     // "kDHT-<yyyymmdd-hhmmss>-<pid>.dmp" files there
  std::string newest;        // the newest one's path; empty when there is none
  std::optional<platform::LocalTime> time;  // from its name
  std::optional<DumpException> exception;   // nothing when it cannot be read
};

Crashes ReadCrashes(RunState& rs);

}  // namespace info
}  // namespace kdht
