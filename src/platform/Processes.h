// Processes and their tokens: the process list (tool-help snapshot and the process-id table),
// opening, ending and waiting for processes, impersonation and starting a program with a
// user's token. Every handle is owned by a small move-only type that closes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kdht::platform {

namespace detail {
void CloseKernelHandle(void* handle);
}

// Owner of one kind of handle. Traits::Invalid() is the value that means "no handle":
// kernel objects use null, the tool-help snapshot uses INVALID_HANDLE_VALUE.
template <typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(void* handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  void* get() const { return handle_; }
  bool valid() const { return handle_ != Traits::Invalid(); }
  explicit operator bool() const { return valid(); }
  void* release() {
    void* h = handle_;
    handle_ = Traits::Invalid();
    return h;
  }
  void reset(void* handle = Traits::Invalid()) {
    if (valid()) detail::CloseKernelHandle(handle_);
    handle_ = handle;
  }

 private:
  void* handle_ = Traits::Invalid();
};

struct NullIsInvalid {
  static void* Invalid() { return nullptr; }
};
struct MinusOneIsInvalid {
  static void* Invalid() { return reinterpret_cast<void*>(~static_cast<std::uintptr_t>(0)); }
};

// A process handle and an access token are both kernel handles, but kept as distinct types so
// that one cannot be passed where the other is meant.
struct ProcessTraits : NullIsInvalid {};
struct TokenTraits : NullIsInvalid {};
using ProcessHandle = UniqueHandle<ProcessTraits>;
using TokenHandle = UniqueHandle<TokenTraits>;

inline constexpr std::uint32_t kProcessAllAccess = 0x1F0FFF;
inline constexpr std::uint32_t kTokenAllAccess = 0xF00FF;
inline constexpr std::uint32_t kSnapAll = 15;  // TH32CS_SNAPALL
inline constexpr std::uint32_t kCreateNoWindow = 0x08000000;

std::uint32_t CurrentProcessId();

// One process of a snapshot: its id and its executable's file name (cut at the first NUL).
struct ProcessEntry {
  std::uint32_t processId = 0;
  std::string exeName;
};

// A tool-help snapshot, read entry by entry. The constructor throws Failure (the system's
// code) when no snapshot can be taken.
class ProcessSnapshot {
 public:
  explicit ProcessSnapshot(std::uint32_t flags);
  // The first / next process entry; nothing at the end of the list.
  std::optional<ProcessEntry> First();
  std::optional<ProcessEntry> Next();

 private:
  UniqueHandle<MinusOneIsInvalid> snapshot_;
};

// Ids of the running processes through a table of maxEntries ids (EnumProcesses); more
// processes than that are not listed. Throws Failure when the call fails.
std::vector<std::uint32_t> EnumerateProcessIds(std::size_t maxEntries);

// OpenProcess; an empty handle when the process cannot be opened (ended, access denied).
ProcessHandle OpenProcessById(std::uint32_t processId, std::uint32_t access, bool inheritable);
// Base name of the process's first module (its executable) through EnumProcessModules and a
// 260-character GetModuleBaseName buffer. Where the modules cannot be read from this process (a
// 64-bit process seen from a 32-bit one), the file name of its image path
// (QueryFullProcessImageName); empty when neither can be read.
std::string FirstModuleBaseName(const ProcessHandle& process);
// TerminateProcess; false when the system refused.
bool Terminate(const ProcessHandle& process, std::uint32_t exitCode);
// True when the process ended within the time (0: only look).
bool WaitForExit(const ProcessHandle& process, std::uint32_t milliseconds);

// OpenProcessToken; an empty handle when the token cannot be opened.
TokenHandle OpenToken(const ProcessHandle& process, std::uint32_t access);

// The calling thread acts as the token's user for the life of the object, and is reverted to
// the program's own identity on every path out of the scope.
class Impersonation {
 public:
  explicit Impersonation(const TokenHandle& token);
  ~Impersonation();
  Impersonation(const Impersonation&) = delete;
  Impersonation& operator=(const Impersonation&) = delete;
  bool active() const { return active_; }

 private:
  bool active_ = false;
};

// True while the calling thread acts under another user's token.
bool ThreadIsImpersonating();

// Outcome of a process start: the new process's id, or the system's error code.
struct StartResult {
  std::uint32_t processId = 0;
  std::uint32_t error = 0;
  bool started() const { return error == 0; }
};

// CreateProcessAsUser with the token. `application` is the program's path and is always passed
// as the application name, so that the command line's text never decides which program runs.
// No handle inheritance, the caller's environment, a start-up record with nothing but its size.
// The new process's handles are closed; it is not waited for.
StartResult StartProcessAsUser(const TokenHandle& token, const std::string& application,
                               const std::string& commandLine, const std::string& workingFolder,
                               std::uint32_t creationFlags);

}  // namespace kdht::platform
