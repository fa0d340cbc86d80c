// The process and its surroundings: own path, command line, environment, special folders,
// starting other programs, window messages, the single-instance lock. The process ends only by
// returning from its entry point.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kdht::platform {

std::string ExecutablePath();   // full path of the running executable
std::string CommandLineArgs();  // the arguments as typed, program name removed
std::optional<std::string> GetEnv(const std::string& name);

// SHGetSpecialFolderLocation + SHGetPathFromIDList. Returns the HRESULT; *out set on success.
long SpecialFolderPath(int csidl, std::string* out);

enum class ShowWindow { Hidden, MinimizedFocus };
// Starts a program without waiting. `application` is the program's full path (never found
// through the search path); `commandLine` is the whole command line as the program sees it.
// Returns the process id; throws Failure when the program cannot be started.
std::uint32_t StartProcess(const std::string& application, const std::string& commandLine,
                           ShowWindow show, const std::string& workingFolder = {});
// Programs started in order from a short-lived thread of their own, so that the caller does not
// wait while each new process initialises (under Wine the start returns only once the child has).
// A program that cannot be started is passed over. The thread is joined by Join or the
// destructor, within a deadline; when no thread can be made, the programs are started at once.
struct ProgramStart {
  std::string application;
  std::string commandLine;
  ShowWindow show;
};
class BackgroundStarts {
 public:
  explicit BackgroundStarts(std::vector<ProgramStart> starts);
  ~BackgroundStarts();
  BackgroundStarts(const BackgroundStarts&) = delete;
  BackgroundStarts& operator=(const BackgroundStarts&) = delete;
  // Waits for the starts, at most `milliseconds`; true when they have all been made.
  bool Join(std::uint32_t milliseconds = 30000);
  // Process ids of the programs started (complete once Join has returned true).
  std::vector<std::uint32_t> started() const;

  struct Work;  // shared with the thread, which may outlive a Join that timed out

 private:
  std::shared_ptr<Work> work_;
  void* thread_ = nullptr;
};

// The system folder, e.g. C:\Windows\system32 (no trailing backslash).
std::string SystemFolder();

void PumpMessagesOnce();

// A named mutex held for the life of the object; acquired() is false when another process holds it.
class SingleInstance {
 public:
  explicit SingleInstance(const std::string& name);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;
  bool acquired() const { return acquired_; }

 private:
  void* handle_ = nullptr;
  bool acquired_ = false;
};

// File version record of an executable: the four 16-bit halves, or nothing without a resource.
struct FileVersion {
  std::uint16_t major = 0, minor = 0, build = 0, revision = 0;
};
std::optional<FileVersion> ReadFileVersion(const std::string& path);

}  // namespace kdht::platform
