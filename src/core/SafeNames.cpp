#include "core/SafeNames.h"

#include <array>

#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace kdht {

bool HasOnlyNameCharacters(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 32 || c == 127) return false;
    switch (c) {
      case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return false;
      default:
        break;
    }
  }
  return true;
}

bool IsSafeFileName(const std::string& name) {
  if (name.empty() || name.size() > 200) return false;
  if (name == "." || name == ".." || name.find("..") != std::string::npos) return false;
  if (!HasOnlyNameCharacters(name)) return false;
  if (name.back() == '.' || name.back() == ' ') return false;
  // Device names are reserved with any extension ("NUL.txt" too).
  std::string base = text::AsciiUpper(name.substr(0, name.find('.')));
  base = text::RTrim(base);
  static const std::array<const char*, 22> reserved = {
      "CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
      "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
  for (const char* r : reserved) {
    if (base == r) return false;
  }
  return true;
}

bool IsInsideFolder(const std::string& path, const std::string& folder) {
  try {
    std::string full = text::AsciiUpper(platform::FullPathName(path));
    std::string root = text::AsciiUpper(platform::FullPathName(folder));
    if (root.empty()) return false;
    if (root.back() != '\\') root += '\\';
    return full.size() > root.size() && full.compare(0, root.size(), root) == 0;
  } catch (...) {
    return false;
  }
}

}  // namespace kdht
