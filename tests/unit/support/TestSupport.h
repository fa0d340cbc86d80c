// Shared fixtures for the unit tests: every test works in its own sandbox install folder on
// the real file system, registry and INI files of the Wine prefix.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/RunState.h"

namespace kdht::testing {

// A fresh folder under the temp folder, removed at the end (path ends without backslash).
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

// A RunState whose InstallPath is a fresh sandbox folder ("...\" with the trailing backslash)
// and whose log is <install>ApplicationLog\kXPRLog\kDHT.log (folder created).
class SandboxTest : public ::testing::Test {
 protected:
  SandboxTest();
  ~SandboxTest() override;

  // Messages of the log without time stamp and TAB, in order.
  std::vector<std::string> LogMessages() const;
  // True when `message` appears as a whole line.
  bool Logged(const std::string& message) const;
  // Number of lines that begin with `prefix`.
  int CountLogged(const std::string& prefixText) const;
  void ClearLog();
  // Writes / reads a file below the install folder (relative path, backslashes).
  void WriteFile(const std::string& relative, const std::string& bytes) const;
  std::string ReadFile(const std::string& relative) const;
  bool Exists(const std::string& relative) const;

  TempFolder sandbox_;
  RunState rs_;
};

// Unique registry key path under HKCU\Software\kdht-tests, removed by the destructor.
class RegistrySandbox {
 public:
  RegistrySandbox();
  ~RegistrySandbox();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The agent's key HKLM\SOFTWARE\VORNOD in the 32-bit view, which a whole run reads its install
// folder and identity from. A test sets the values it needs; the destructor puts back what was
// there before (values, or no key at all), so tests that share the prefix do not see each other.
class AgentKey {
 public:
  AgentKey();
  ~AgentKey();
  AgentKey(const AgentKey&) = delete;
  AgentKey& operator=(const AgentKey&) = delete;

  void Set(const std::string& name, const std::string& value);
  void Remove(const std::string& name);

 private:
  void Remember(const std::string& name);

  bool existed_ = false;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::string JoinLines(const std::vector<std::string>& lines);

// The machine's identity as the server knows it, which every request URL carries.
void SetIdentity(RunState& rs, const std::string& memberId, const std::string& siteId, const std::string& regId,
                 const std::string& regType = "RORI");

// Full path of a file built beside the test program (the agent's components and stand-ins).
std::string InBin(const std::string& fileName);

// A file's bytes; nothing when it cannot be read (missing, a folder).
std::optional<std::string> ReadBytes(const std::string& path);
// Creates or replaces a file; false when it cannot be written.
bool WriteBytes(const std::string& path, const std::string& bytes);
// Sorted names of the files and folders directly inside `folder`; none when it is missing.
std::vector<std::string> FolderEntries(const std::string& folder);

// Text split at CR LF; a last line without one counts, an empty text has no lines.
std::vector<std::string> CrLfLines(const std::string& text);
// Lines of a stand-in's record file (UTF-8, CR LF); none when the file is missing.
std::vector<std::string> RecordLines(const std::string& path);
// Splits a record line at its TABs.
std::vector<std::string> RecordFields(const std::string& line);

// Polls `condition` every 50 ms until it holds or the time is up.
bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs);

}  // namespace kdht::testing
