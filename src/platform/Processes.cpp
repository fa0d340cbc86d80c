#include "platform/Processes.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <vector>

#include "platform/Failure.h"
#include "platform/Text.h"

namespace kdht::platform {

namespace detail {
void CloseKernelHandle(void* handle) { CloseHandle(static_cast<HANDLE>(handle)); }
}  // namespace detail

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

namespace {

std::string CutAtNul(const wchar_t* text, size_t capacity) {
  size_t n = 0;
  while (n < capacity && text[n] != L'\0') ++n;
  return Narrow(std::wstring_view(text, n));
}

std::optional<ProcessEntry> EntryOf(BOOL ok, const PROCESSENTRY32W& entry) {
  if (!ok) {
    const DWORD error = GetLastError();
    if (error == ERROR_NO_MORE_FILES) return std::nullopt;
    ThrowSystemError(error);
  }
  ProcessEntry out;
  out.processId = entry.th32ProcessID;
  out.exeName = CutAtNul(entry.szExeFile, sizeof entry.szExeFile / sizeof entry.szExeFile[0]);
  return out;
}

}  // namespace

ProcessSnapshot::ProcessSnapshot(std::uint32_t flags) : snapshot_(CreateToolhelp32Snapshot(flags, 0)) {
  if (!snapshot_) ThrowLastError();
}

std::optional<ProcessEntry> ProcessSnapshot::First() {
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  const BOOL ok = Process32FirstW(snapshot_.get(), &entry);
  return EntryOf(ok, entry);
}

std::optional<ProcessEntry> ProcessSnapshot::Next() {
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  const BOOL ok = Process32NextW(snapshot_.get(), &entry);
  return EntryOf(ok, entry);
}

std::vector<std::uint32_t> EnumerateProcessIds(std::size_t maxEntries) {
  std::vector<DWORD> ids(maxEntries);
  DWORD bytes = 0;
  if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size()) * static_cast<DWORD>(sizeof(DWORD)), &bytes)) ThrowLastError();
  ids.resize(bytes / sizeof(DWORD));
  return std::vector<std::uint32_t>(ids.begin(), ids.end());
}

ProcessHandle OpenProcessById(std::uint32_t processId, std::uint32_t access, bool inheritable) {
  return ProcessHandle(OpenProcess(access, inheritable ? TRUE : FALSE, processId));
}

std::string FirstModuleBaseName(const ProcessHandle& process) {
  if (!process) return {};
  HANDLE h = static_cast<HANDLE>(process.get());
  HMODULE modules[1024] = {};
  DWORD needed = 0;
  if (EnumProcessModules(h, modules, sizeof modules, &needed) && needed >= sizeof(HMODULE)) {
    wchar_t name[260] = {};
    const DWORD n = GetModuleBaseNameW(h, modules[0], name, 260);
    if (n != 0) return CutAtNul(name, n);
  }
  // A 32-bit process cannot read the module list of a 64-bit one (ERROR_PARTIAL_COPY); the
  // image path is readable across widths.
  std::vector<wchar_t> path(32768);
  DWORD length = static_cast<DWORD>(path.size());
  if (!QueryFullProcessImageNameW(h, 0, path.data(), &length) || length == 0) return {};
  const std::wstring_view full(path.data(), length);
  const size_t slash = full.find_last_of(L"\\/");
  return CutAtNul(full.data() + (slash == std::wstring_view::npos ? 0 : slash + 1),
                  full.size() - (slash == std::wstring_view::npos ? 0 : slash + 1));
}

bool Terminate(const ProcessHandle& process, std::uint32_t exitCode) {
  return process && TerminateProcess(static_cast<HANDLE>(process.get()), exitCode) != FALSE;
}

bool WaitForExit(const ProcessHandle& process, std::uint32_t milliseconds) {
  return process && WaitForSingleObject(static_cast<HANDLE>(process.get()), milliseconds) == WAIT_OBJECT_0;
}

TokenHandle OpenToken(const ProcessHandle& process, std::uint32_t access) {
  HANDLE token = nullptr;
  if (!process || !OpenProcessToken(static_cast<HANDLE>(process.get()), access, &token)) return TokenHandle();
  return TokenHandle(token);
}

Impersonation::Impersonation(const TokenHandle& token)
    : active_(token && ImpersonateLoggedOnUser(static_cast<HANDLE>(token.get())) != FALSE) {}

Impersonation::~Impersonation() {
  if (active_) RevertToSelf();
}

bool ThreadIsImpersonating() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  const TokenHandle owned(token);
  return true;
}

StartResult StartProcessAsUser(const TokenHandle& token, const std::string& application,
                               const std::string& commandLine, const std::string& workingFolder,
                               std::uint32_t creationFlags) {
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  const std::wstring app = Widen(application);
  std::wstring cmd = Widen(commandLine);
  cmd.push_back(L'\0');  // the system may write into the command line
  const std::wstring dir = Widen(workingFolder);
  StartResult result;
  if (!CreateProcessAsUserW(static_cast<HANDLE>(token.get()), app.c_str(), cmd.data(), nullptr, nullptr, FALSE,
                            creationFlags, nullptr, dir.empty() ? nullptr : dir.c_str(), &si, &pi)) {
    result.error = GetLastError();
    if (result.error == 0) result.error = ERROR_GEN_FAILURE;
    return result;
  }
  const UniqueHandle<NullIsInvalid> ownProcess(pi.hProcess);
  const UniqueHandle<NullIsInvalid> ownThread(pi.hThread);
  result.processId = pi.dwProcessId;
  return result;
}

}  // namespace kdht::platform
