#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>

#include "core/FileSys.h"
#include "platform/Clock.h"
#include "platform/Failure.h"
#include "platform/FileSystem.h"
#include "platform/Registry.h"
#include "platform/Shell.h"
#include "platform/Text.h"

namespace kdht::testing {
namespace {

std::string UniqueName(const std::string& stem) {
  static std::atomic<int> counter{0};
  const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  return stem + std::to_string(ticks % 100000000) + "_" + std::to_string(counter++);
}

}  // namespace

TempFolder::TempFolder() {
  std::string base = platform::GetEnv("TEMP").value_or("C:\\windows\\temp");
  if (!base.empty() && base.back() == '\\') base.pop_back();
  path_ = base + "\\kdht_" + UniqueName("t");
  platform::MakeSureDirectoryPathExists(path_ + "\\");
}

TempFolder::~TempFolder() {
  try {
    if (platform::FolderExists(path_)) platform::DeleteFolderTree(path_, true);
  } catch (...) {
  }
}

SandboxTest::SandboxTest() {
  rs_.InstallPath = sandbox_.path() + "\\";
  rs_.LogFilePath = rs_.InstallPath + "ApplicationLog\\kXPRLog\\kDHT.log";
  platform::MakeSureDirectoryPathExists(rs_.InstallPath + "ApplicationLog\\kXPRLog\\");
  rs_.ExePath = platform::ExecutablePath();
}

SandboxTest::~SandboxTest() = default;

std::vector<std::string> SandboxTest::LogMessages() const {
  std::vector<std::string> out;
  if (!platform::FileExists(rs_.LogFilePath)) return out;
  for (const std::string& line : CrLfLines(platform::AnsiToUtf8(platform::ReadFileBytes(rs_.LogFilePath)))) {
    const size_t tab = line.find('\t');
    out.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
  }
  return out;
}

bool SandboxTest::Logged(const std::string& message) const {
  for (const auto& m : LogMessages()) {
    if (m == message) return true;
  }
  return false;
}

int SandboxTest::CountLogged(const std::string& prefixText) const {
  int n = 0;
  for (const auto& m : LogMessages()) {
    if (m.rfind(prefixText, 0) == 0) ++n;
  }
  return n;
}

void SandboxTest::ClearLog() {
  if (platform::FileExists(rs_.LogFilePath)) platform::WriteFileBytes(rs_.LogFilePath, "");
}

void SandboxTest::WriteFile(const std::string& relative, const std::string& bytes) const {
  const std::string path = rs_.InstallPath + relative;
  platform::MakeSureDirectoryPathExists(path);
  platform::WriteFileBytes(path, bytes);
}

std::string SandboxTest::ReadFile(const std::string& relative) const {
  return platform::ReadFileBytes(rs_.InstallPath + relative);
}

bool SandboxTest::Exists(const std::string& relative) const {
  const std::string path = rs_.InstallPath + relative;
  return platform::FileExists(path) || platform::FolderExists(path);
}

RegistrySandbox::RegistrySandbox() : path_("Software\\kdht-tests\\" + UniqueName("k")) {
  platform::RegKey key;
  key.Create(platform::Hive::CurrentUser, path_);
}

RegistrySandbox::~RegistrySandbox() { platform::DeleteRegTree(platform::Hive::CurrentUser, path_); }

namespace {
constexpr const char* kAgentKeyPath = "SOFTWARE\\VORNOD";
}  // namespace

AgentKey::AgentKey() {
  platform::RegKey key;
  existed_ = key.Open(platform::Hive::LocalMachine, kAgentKeyPath, /*queryOnly=*/true) == platform::kErrorSuccess;
}

AgentKey::~AgentKey() {
  if (!existed_) {
    platform::DeleteRegTree(platform::Hive::LocalMachine, kAgentKeyPath);
    return;
  }
  platform::RegKey key;
  if (key.Create(platform::Hive::LocalMachine, kAgentKeyPath) != platform::kErrorSuccess) return;
  for (const auto& [name, value] : saved_) {
    if (value) {
      key.SetString(name, *value);
    } else {
      key.DeleteValue(name);
    }
  }
}

void AgentKey::Remember(const std::string& name) {
  for (const auto& saved : saved_) {
    if (saved.first == name) return;
  }
  std::optional<std::string> value;
  platform::RegKey key;
  std::string raw;
  if (key.Open(platform::Hive::LocalMachine, kAgentKeyPath, /*queryOnly=*/true) == platform::kErrorSuccess &&
      key.QueryRawString(name, &raw) == platform::kErrorSuccess) {
    while (!raw.empty() && raw.back() == '\0') raw.pop_back();
    value = raw;
  }
  saved_.emplace_back(name, value);
}

void AgentKey::Set(const std::string& name, const std::string& value) {
  Remember(name);
  platform::RegKey key;
  ASSERT_EQ(key.Create(platform::Hive::LocalMachine, kAgentKeyPath), platform::kErrorSuccess);
  ASSERT_EQ(key.SetString(name, value), platform::kErrorSuccess) << name;
}

void AgentKey::Remove(const std::string& name) {
  Remember(name);
  platform::RegKey key;
  if (key.Create(platform::Hive::LocalMachine, kAgentKeyPath) == platform::kErrorSuccess) key.DeleteValue(name);
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::ostringstream out;
  for (const auto& l : lines) out << l << "\n";
  return out.str();
}

void SetIdentity(RunState& rs, const std::string& memberId, const std::string& siteId, const std::string& regId,
                 const std::string& regType) {
  rs.MemberId = memberId;
  rs.SiteId = siteId;
  rs.RegId = regId;
  rs.RegType = regType;
}

std::string InBin(const std::string& fileName) {
  return FileSystemService::GetParentFolderName(platform::ExecutablePath()) + "\\" + fileName;
}

std::optional<std::string> ReadBytes(const std::string& path) {
  try {
    return platform::ReadFileBytes(path);
  } catch (const Failure&) {
    return std::nullopt;
  }
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  try {
    platform::WriteFileBytes(path, bytes);
    return true;
  } catch (const Failure&) {
    return false;
  }
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  if (!platform::FolderExists(folder)) return {};
  std::vector<std::string> names = platform::ListFiles(folder);
  for (std::string& name : platform::ListFolders(folder)) names.push_back(std::move(name));
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::vector<std::string> RecordLines(const std::string& path) { return CrLfLines(ReadBytes(path).value_or("")); }

std::vector<std::string> RecordFields(const std::string& line) { return text::Split(line, "\t"); }

bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs) {
  for (unsigned waited = 0;; waited += 50) {
    if (condition()) return true;
    if (waited >= timeoutMs) return false;
    platform::SleepMs(50);
  }
}

}  // namespace kdht::testing
