// Helpers for the tests of the agent components: VARIANTs, late-bound calls, registry reads and
// the stand-ins' record files. Files, folders, processes and regsvr32 come from support/.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace agent_test {

// Deletes a file on construction and again on destruction, so a test starts and ends without it.
class ScopedFile {
 public:
  explicit ScopedFile(std::string path);
  ~ScopedFile();
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
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

std::optional<std::wstring> RegistryText(HKEY root, const std::wstring& key, const wchar_t* value);
bool RegistryKeyExists(HKEY root, const std::wstring& key);

// Polls `path` until it holds at least `lines` CRLF-terminated lines or `timeoutMs` passes.
std::string WaitForLines(const std::string& path, size_t lines, unsigned timeoutMs);

template <class F>
F ProcAddress(HMODULE module, const char* name) {
  // Through void(*)() because GCC warns on direct casts between unrelated function types.
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace agent_test
