#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <sstream>

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
  const std::string text = platform::AnsiToUtf8(platform::ReadFileBytes(rs_.LogFilePath));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t tab = line.find('\t');
    out.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
    if (end == std::string::npos) break;
    start = end + 2;
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

std::string JoinLines(const std::vector<std::string>& lines) {
  std::ostringstream out;
  for (const auto& l : lines) out << l << "\n";
  return out.str();
}

}  // namespace kdht::testing
