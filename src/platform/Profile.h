// INI files through the system's profile-string functions (the agent's scheduler and tools
// read what these write).
#pragma once

#include <cstdint>
#include <string>

namespace kdht::platform {

// Section names, each followed by one NUL, as the system returns them (buffer of bufferChars).
std::string ProfileSectionNames(const std::string& file, std::uint32_t bufferChars);
// A key's text through a buffer of bufferChars characters (a longer value comes back cut).
std::string ProfileString(const std::string& section, const std::string& key, const std::string& file,
                          std::uint32_t bufferChars);
std::int32_t ProfileInt(const std::string& section, const std::string& key, std::int32_t defaultValue,
                        const std::string& file);
// Nonzero on success.
std::int32_t WriteProfileText(const std::string& section, const std::string& key, const std::string& value,
                              const std::string& file);

}  // namespace kdht::platform
