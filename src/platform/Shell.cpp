#include "platform/Shell.h"

#include <windows.h>
#include <shlobj.h>

#include <memory>
#include <vector>

#include "platform/Failure.h"
#include "platform/Text.h"

namespace kdht::platform {

std::string ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) ThrowLastError();
    if (n < buffer.size()) {
      buffer.resize(n);
      return Narrow(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string CommandLineArgs() {
  const wchar_t* p = GetCommandLineW();
  // The program name: quoted, or up to the first blank.
  if (*p == L'"') {
    ++p;
    while (*p != L'\0' && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return Narrow(p);
}

std::optional<std::string> GetEnv(const std::string& name) {
  const std::wstring wname = Widen(name);
  DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (n == 0) return std::nullopt;
  std::wstring buffer(n, L'\0');
  n = GetEnvironmentVariableW(wname.c_str(), buffer.data(), n);
  buffer.resize(n);
  return Narrow(buffer);
}

long SpecialFolderPath(int csidl, std::string* out) {
  PIDLIST_ABSOLUTE pidl = nullptr;
  HRESULT hr = SHGetSpecialFolderLocation(nullptr, csidl, &pidl);
  if (FAILED(hr)) return hr;
  wchar_t buffer[MAX_PATH + 1] = {};
  BOOL ok = SHGetPathFromIDListW(pidl, buffer);
  CoTaskMemFree(pidl);
  if (!ok) return E_FAIL;
  *out = Narrow(buffer);
  return S_OK;
}

std::string SystemFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
  if (n == 0 || n > MAX_PATH) ThrowLastError();
  return Narrow(std::wstring_view(buffer, n));
}

std::uint32_t StartProcess(const std::string& application, const std::string& commandLine, ShowWindow show,
                           const std::string& workingFolder) {
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = show == ShowWindow::Hidden ? SW_HIDE : SW_SHOWMINIMIZED;
  PROCESS_INFORMATION pi = {};
  std::wstring cmd = Widen(commandLine);
  std::vector<wchar_t> mutableCmd(cmd.begin(), cmd.end());
  mutableCmd.push_back(L'\0');
  const std::wstring app = Widen(application);
  const std::wstring dir = Widen(workingFolder);
  if (!CreateProcessW(app.empty() ? nullptr : app.c_str(), mutableCmd.data(), nullptr, nullptr, FALSE,
                      show == ShowWindow::Hidden ? CREATE_NO_WINDOW : 0, nullptr,
                      dir.empty() ? nullptr : dir.c_str(), &si, &pi)) {
    ThrowLastError();
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return pi.dwProcessId;
}

struct BackgroundStarts::Work {
  std::vector<ProgramStart> starts;
  std::vector<std::uint32_t> started;

  void StartAll() {
    for (const auto& start : starts) {
      try {
        started.push_back(StartProcess(start.application, start.commandLine, start.show));
      } catch (...) {
      }
    }
  }
};

namespace {

DWORD WINAPI StartInBackground(void* parameter) {
  std::unique_ptr<std::shared_ptr<BackgroundStarts::Work>> work(
      static_cast<std::shared_ptr<BackgroundStarts::Work>*>(parameter));
  (*work)->StartAll();
  return 0;
}

}  // namespace

BackgroundStarts::BackgroundStarts(std::vector<ProgramStart> starts) : work_(std::make_shared<Work>()) {
  work_->starts = std::move(starts);
  if (work_->starts.empty()) return;
  // The thread owns the parameter once it runs; until then, this does.
  auto shared = std::make_unique<std::shared_ptr<Work>>(work_);
  thread_ = CreateThread(nullptr, 0, &StartInBackground, shared.get(), 0, nullptr);
  if (thread_ == nullptr) {
    work_->StartAll();
    return;
  }
  static_cast<void>(shared.release());
}

BackgroundStarts::~BackgroundStarts() {
  Join();
  if (thread_ != nullptr) CloseHandle(static_cast<HANDLE>(thread_));
}

bool BackgroundStarts::Join(std::uint32_t milliseconds) {
  if (thread_ == nullptr) return true;
  return WaitForSingleObject(static_cast<HANDLE>(thread_), milliseconds) == WAIT_OBJECT_0;
}

std::vector<std::uint32_t> BackgroundStarts::started() const { return work_->started; }

void PumpMessagesOnce() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

SingleInstance::SingleInstance(const std::string& name) {
  HANDLE h = CreateMutexW(nullptr, TRUE, Widen(name).c_str());
  if (h == nullptr) return;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    return;
  }
  handle_ = h;
  acquired_ = true;
}

SingleInstance::~SingleInstance() {
  if (handle_ != nullptr) {
    ReleaseMutex(static_cast<HANDLE>(handle_));
    CloseHandle(static_cast<HANDLE>(handle_));
  }
}

std::optional<FileVersion> ReadFileVersion(const std::string& path) {
  const std::wstring w = Widen(path);
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(w.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> buffer(size);
  if (!GetFileVersionInfoW(w.c_str(), 0, size, buffer.data())) return std::nullopt;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(buffer.data(), L"\\", reinterpret_cast<void**>(&info), &len) || info == nullptr ||
      len < sizeof(VS_FIXEDFILEINFO)) {
    return std::nullopt;
  }
  FileVersion v;
  v.major = HIWORD(info->dwFileVersionMS);
  v.minor = LOWORD(info->dwFileVersionMS);
  v.build = HIWORD(info->dwFileVersionLS);
  v.revision = LOWORD(info->dwFileVersionLS);
  return v;
}

}  // namespace kdht::platform
