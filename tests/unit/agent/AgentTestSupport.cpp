#include "AgentTestSupport.h"

#include <algorithm>

#include "platform/Text.h"
#include "support/TestSupport.h"

namespace agent_test {

ScopedFile::ScopedFile(std::string path) : path_(std::move(path)) { DeleteFileW(kdht::platform::Widen(path_).c_str()); }
ScopedFile::~ScopedFile() { DeleteFileW(kdht::platform::Widen(path_).c_str()); }

Var Var::Text(std::wstring_view text) {
  Var v;
  v.v_.vt = VT_BSTR;
  v.v_.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return v;
}

Var Var::I2(SHORT value) {
  Var v;
  v.v_.vt = VT_I2;
  v.v_.iVal = value;
  return v;
}

Var Var::I4(LONG value) {
  Var v;
  v.v_.vt = VT_I4;
  v.v_.lVal = value;
  return v;
}

Var Var::Bool(bool value) {
  Var v;
  v.v_.vt = VT_BOOL;
  v.v_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

Var Var::R8(double value) {
  Var v;
  v.v_.vt = VT_R8;
  v.v_.dblVal = value;
  return v;
}

std::wstring TextOf(const VARIANT& value) {
  if (value.vt != VT_BSTR) return L"<not a BSTR: vt " + std::to_wstring(value.vt) + L">";
  return value.bstrVal ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal)) : std::wstring();
}

BstrRef::BstrRef(std::wstring_view initial)
    : value_(SysAllocStringLen(initial.data(), static_cast<UINT>(initial.size()))) {
  VariantInit(&ref_);
  ref_.vt = VT_BSTR | VT_BYREF;
  ref_.pbstrVal = &value_;
}

BstrRef::~BstrRef() { SysFreeString(value_); }

std::wstring BstrRef::text() const { return value_ ? std::wstring(value_, SysStringLen(value_)) : std::wstring(); }

HRESULT CreateByProgId(const wchar_t* progId, ComPtr<IDispatch>& object) {
  CLSID clsid;
  const HRESULT hr = CLSIDFromProgID(progId, &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.outVoid());
}

HRESULT IdOf(IDispatch* object, const wchar_t* name, DISPID& id) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  return object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
}

HRESULT PutProperty(IDispatch* object, const wchar_t* name, const VARIANT& value) {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = IdOf(object, name, id);
  if (FAILED(hr)) return hr;
  VARIANT arg = value;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params = {&arg, &named, 1, 1};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
}

HRESULT GetProperty(IDispatch* object, const wchar_t* name, Var& value) {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = IdOf(object, name, id);
  if (FAILED(hr)) return hr;
  DISPPARAMS params = {nullptr, nullptr, 0, 0};
  VariantClear(value.get());
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &params, value.get(), nullptr,
                        nullptr);
}

HRESULT CallMethod(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args, Var* result) {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = IdOf(object, name, id);
  if (FAILED(hr)) return hr;
  std::reverse(args.begin(), args.end());  // Invoke takes them last-to-first
  DISPPARAMS params = {args.empty() ? nullptr : args.data(), nullptr, static_cast<UINT>(args.size()), 0};
  UINT argError = 0;
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                        result != nullptr ? result->get() : nullptr, nullptr, &argError);
}

std::optional<std::wstring> RegistryText(HKEY root, const std::wstring& key, const wchar_t* value) {
  DWORD size = 0;
  if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::wstring text(size / sizeof(wchar_t), L'\0');
  if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text.data(), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  text.resize(size / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

bool RegistryKeyExists(HKEY root, const std::wstring& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  RegCloseKey(handle);
  return true;
}

std::string WaitForLines(const std::string& path, size_t lines, unsigned timeoutMs) {
  std::string content;
  kdht::testing::WaitUntil(
      [&] {
        content = kdht::testing::ReadBytes(path).value_or(std::string());
        size_t found = 0;
        for (size_t at = content.find("\r\n"); at != std::string::npos; at = content.find("\r\n", at + 2)) ++found;
        return found >= lines;
      },
      timeoutMs);
  return content;
}

}  // namespace agent_test
