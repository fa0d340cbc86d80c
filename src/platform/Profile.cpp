// The profile functions are called in their ANSI form: the agent's scheduler reads the files
// these write, and expects the system code page.
#include "platform/Profile.h"

#include <windows.h>

#include "platform/Text.h"

namespace kdht::platform {

std::string ProfileSectionNames(const std::string& file, std::uint32_t bufferChars) {
  std::string buffer(bufferChars, '\0');
  DWORD n = GetPrivateProfileStringA(nullptr, "", "", buffer.data(), bufferChars, Utf8ToAnsi(file).c_str());
  buffer.resize(n);
  return AnsiToUtf8(buffer);
}

std::string ProfileString(const std::string& section, const std::string& key, const std::string& file,
                          std::uint32_t bufferChars) {
  std::string buffer(bufferChars, '\0');
  DWORD n = GetPrivateProfileStringA(Utf8ToAnsi(section).c_str(), Utf8ToAnsi(key).c_str(), "", buffer.data(),
                                     bufferChars, Utf8ToAnsi(file).c_str());
  buffer.resize(n);
  return AnsiToUtf8(buffer);
}

std::int32_t ProfileInt(const std::string& section, const std::string& key, std::int32_t defaultValue,
                        const std::string& file) {
  return static_cast<std::int32_t>(GetPrivateProfileIntA(Utf8ToAnsi(section).c_str(), Utf8ToAnsi(key).c_str(),
                                                         defaultValue, Utf8ToAnsi(file).c_str()));
}

std::int32_t WriteProfileText(const std::string& section, const std::string& key, const std::string& value,
                              const std::string& file) {
  return WritePrivateProfileStringA(Utf8ToAnsi(section).c_str(), Utf8ToAnsi(key).c_str(), Utf8ToAnsi(value).c_str(),
                                    Utf8ToAnsi(file).c_str());
}

}  // namespace kdht::platform
