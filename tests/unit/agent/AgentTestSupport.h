// Helpers for the tests of the agent components: files next to the test binary, VARIANTs,
// late-bound calls, registration through the system's regsvr32 and child processes.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace agent_test {

// The components are built next to the test binary.
std::wstring BinFolder();
std::wstring InBin(std::wstring_view name);

std::string Utf8(std::wstring_view text);
std::optional<std::string> ReadBytes(const std::wstring& path);
bool WriteBytes(const std::wstring& path, std::string_view bytes);
bool FileExists(const std::wstring& path);
// Names of the entries of `folder` (no "." and "..").
std::vector<std::wstring> FolderEntries(const std::wstring& folder);

// Deletes a file on construction and again on destruction, so a test starts and ends without it.
class ScopedFile {
 public:
  explicit ScopedFile(std::wstring path);
  ~ScopedFile();
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// A fresh folder under %TEMP%, removed with its files afterwards.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring File(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }

 private:
  std::wstring path_;
};

class ComApartment {
 public:
  ComApartment();
  ~ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  HRESULT status() const { return status_; }

 private:
  HRESULT status_;
};

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  T** out() {
    reset();
    return &p_;
  }
  void** outVoid() { return reinterpret_cast<void**>(out()); }

 private:
  T* p_ = nullptr;
};

// Owns a VARIANT.
class Var {
 public:
  Var() { VariantInit(&v_); }
  ~Var() { VariantClear(&v_); }
  Var(Var&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
  Var& operator=(Var&&) = delete;
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;

  static Var Text(std::wstring_view text);
  static Var I2(SHORT value);
  static Var I4(LONG value);
  static Var Bool(bool value);
  static Var R8(double value);

  VARIANT* get() { return &v_; }
  const VARIANT& operator*() const { return v_; }

 private:
  VARIANT v_;
};

// The text of a VT_BSTR, or a description of what else the VARIANT holds (so that a failed
// comparison shows it).
std::wstring TextOf(const VARIANT& value);

// A BSTR the callee may replace, passed as VT_BSTR|VT_BYREF. Not movable: the VARIANT points
// into the object.
class BstrRef {
 public:
  explicit BstrRef(std::wstring_view initial);
  ~BstrRef();
  BstrRef(const BstrRef&) = delete;
  BstrRef& operator=(const BstrRef&) = delete;
  const VARIANT& arg() const { return ref_; }
  std::wstring text() const;

 private:
  BSTR value_;
  VARIANT ref_;
};

HRESULT CreateByProgId(const wchar_t* progId, ComPtr<IDispatch>& object);
HRESULT IdOf(IDispatch* object, const wchar_t* name, DISPID& id);
HRESULT PutProperty(IDispatch* object, const wchar_t* name, const VARIANT& value);
HRESULT GetProperty(IDispatch* object, const wchar_t* name, Var& value);
// Arguments in call order (shallow copies; the caller keeps ownership).
HRESULT CallMethod(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args, Var* result = nullptr);

// Runs a program and waits for it; nullopt if it did not start or did not end in time.
std::optional<DWORD> RunAndWait(const std::wstring& commandLine, DWORD timeoutMs);
// The system's regsvr32, silent; its exit code (0 on success).
std::optional<DWORD> Regsvr32(const std::wstring& dll, bool unregister = false);

std::optional<std::wstring> RegistryText(HKEY root, const std::wstring& key, const wchar_t* value);
bool RegistryKeyExists(HKEY root, const std::wstring& key);

// A process started for a test; ended when the object goes, whatever the test's outcome.
class ChildProcess {
 public:
  explicit ChildProcess(const std::wstring& commandLine);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool started() const { return info_.hProcess != nullptr; }
  DWORD id() const { return info_.dwProcessId; }
  HANDLE handle() const { return info_.hProcess; }

 private:
  PROCESS_INFORMATION info_ = {};
};

// Polls `path` until it holds at least `lines` CRLF-terminated lines or `timeoutMs` passes.
std::string WaitForLines(const std::wstring& path, size_t lines, DWORD timeoutMs);

template <class F>
F ProcAddress(HMODULE module, const char* name) {
  // Through void(*)() because GCC warns on direct casts between unrelated function types.
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace agent_test
