#include "info/Crashes.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/RunState.h"
#include "info/StateReport.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace kdht::info {
namespace {

constexpr std::uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr std::uint32_t kModuleListStream = 4;
constexpr std::uint32_t kExceptionStream = 6;
constexpr std::size_t kModuleSize = 108;  // MINIDUMP_MODULE

bool Read32(const std::string& b, std::uint64_t at, std::uint32_t* out) {
  if (at > b.size() || b.size() - at < 4) return false;
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  *out = v;
  return true;
}

bool Read64(const std::string& b, std::uint64_t at, std::uint64_t* out) {
  std::uint32_t low = 0, high = 0;
  if (!Read32(b, at, &low) || !Read32(b, at + 4, &high)) return false;
  *out = (static_cast<std::uint64_t>(high) << 32) | low;
  return true;
}

// A MINIDUMP_STRING: its length in bytes, then UTF-16 text.
std::string ReadName(const std::string& b, std::uint32_t rva) {
  std::uint32_t length = 0;
  if (!Read32(b, rva, &length) || length % 2 != 0 || b.size() - rva - 4 < length) return {};
  std::wstring wide(length / 2, L'\0');
  for (std::size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(b[rva + 4 + 2 * i]) |
                                   (static_cast<unsigned char>(b[rva + 5 + 2 * i]) << 8));
  }
  const std::string path = platform::Narrow(wide);
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<platform::LocalTime> TimeInName(const std::string& name) {
  // "kDHT-yyyymmdd-hhmmss-<pid>.dmp"
  if (name.size() < 5 + 15 || name[13] != '-') return std::nullopt;
  const std::string digits = name.substr(5, 8) + name.substr(14, 6);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  const auto num = [&](std::size_t at, std::size_t n) { return std::stoi(digits.substr(at, n)); };
  return platform::LocalTime{num(0, 4), num(4, 2), num(6, 2), num(8, 2), num(10, 2), num(12, 2)};
}

}  // namespace

std::optional<DumpException> ParseMinidump(const std::string& b) {
  std::uint32_t signature = 0, streams = 0, directory = 0;
  if (!Read32(b, 0, &signature) || signature != kSignature || !Read32(b, 8, &streams) ||
      !Read32(b, 12, &directory)) {
    return std::nullopt;
  }
  std::optional<DumpException> found;
  std::uint32_t modulesAt = 0;
  for (std::uint32_t i = 0; i < streams && i < 4096; ++i) {
    std::uint32_t type = 0, rva = 0;
    const std::uint64_t entry = directory + 12ull * i;
    if (!Read32(b, entry, &type) || !Read32(b, entry + 8, &rva)) return std::nullopt;
    if (type == kExceptionStream) {
      // MINIDUMP_EXCEPTION_STREAM: thread id, alignment, then MINIDUMP_EXCEPTION.
      DumpException e;
      if (!Read32(b, rva + 8, &e.code) || !Read64(b, rva + 8 + 16, &e.address)) return std::nullopt;
      e.offset = e.address;
      found = e;
    } else if (type == kModuleListStream) {
      modulesAt = rva;
    }
  }
  if (!found || modulesAt == 0) return found;
  std::uint32_t count = 0;
  if (!Read32(b, modulesAt, &count)) return found;
  for (std::uint32_t i = 0; i < count && i < 4096; ++i) {
    const std::uint64_t at = modulesAt + 4 + kModuleSize * i;
    std::uint64_t base = 0;
    std::uint32_t size = 0, nameRva = 0;
    if (!Read64(b, at, &base) || !Read32(b, at + 8, &size) || !Read32(b, at + 20, &nameRva)) break;
    if (found->address >= base && found->address - base < size) {
      found->module = ReadName(b, nameRva);
      found->offset = found->address - base;
      break;
    }
  }
  return found;
}

Crashes ReadCrashes(RunState& rs) {
  Crashes out;
  out.folder = rs.InstallPath + "ApplicationLog\\kXPRLog";
  std::string newest;
  for (const std::string& name : FileNamesIn(rs, out.folder)) {
    const std::string upper = text::AsciiUpper(name);
    if (!text::StartsWith(upper, "KDHT-") || !text::EndsWith(upper, ".DMP")) continue;
    ++out.dumps;
    // The time in the name orders them; the same second, by name.
    if (newest.empty() || name.substr(5) > newest.substr(5)) newest = name;
  }
  if (newest.empty()) return out;
  out.newest = out.folder + "\\" + newest;
  out.time = TimeInName(newest);
  try {
    out.exception = ParseMinidump(platform::ReadFileBytes(out.newest));
  } catch (...) {
  }
  return out;
}

}  // namespace kdht::info
