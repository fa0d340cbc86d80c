// Failure-tolerant registry and INI access: an absent key, value, file or section reads as
// empty; a trapped failure is logged and turned into the same empty result.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Registry.h"

namespace kdht {

struct RunState;

// type 1: string value; type 4: 32-bit number as signed decimal. Registry view: 32-bit.
std::string ReadReg(RunState& rs, platform::Hive hive, const std::string& key, const std::string& valueName,
                    int type, platform::RegView view = platform::RegView::Wow32);
// A REG_SZ value of an open key, up to its first NUL; empty for other types.
std::string GetRegValueEx(RunState& rs, const platform::RegKey& key, const std::string& valueName);
std::string StripNulls(RunState& rs, const std::string& text);
// Every section name followed by one NUL.
std::string GetSections(RunState& rs, const std::string& file);
std::string GetKeyValue(RunState& rs, const std::string& section, const std::string& key, const std::string& file,
                        bool numberMode);
std::int32_t SetKeyValue(RunState& rs, const std::string& section, const std::string& key,
                         const std::string& value, const std::string& file);

}  // namespace kdht
