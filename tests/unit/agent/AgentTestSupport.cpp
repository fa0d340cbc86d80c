#include "AgentTestSupport.h"

#include <algorithm>

namespace agent_test {

std::wstring BinFolder() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length < buffer.size()) {
      std::wstring path(buffer.data(), length);
      return path.substr(0, path.find_last_of(L"\\/"));
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring InBin(std::wstring_view name) { return BinFolder() + L"\\" + std::wstring(name); }

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::optional<std::string> ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read != 0) bytes.append(buffer, read);
  CloseHandle(file);
  return bytes;
}

bool WriteBytes(const std::wstring& path, std::string_view bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  CloseHandle(file);
  return ok;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> FolderEntries(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

ScopedFile::ScopedFile(std::wstring path) : path_(std::move(path)) { DeleteFileW(path_.c_str()); }
ScopedFile::~ScopedFile() { DeleteFileW(path_.c_str()); }

TempFolder::TempFolder() {
  wchar_t base[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, base);
  static LONG counter = 0;
  path_ = std::wstring(base) + L"kdht-agent-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(InterlockedIncrement(&counter));
  CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
  for (const std::wstring& name : FolderEntries(path_)) DeleteFileW(File(name).c_str());
  RemoveDirectoryW(path_.c_str());
}

ComApartment::ComApartment() : status_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
ComApartment::~ComApartment() {
  if (SUCCEEDED(status_)) CoUninitialize();
}

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

ChildProcess::ChildProcess(const std::wstring& commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
  mutableLine.push_back(L'\0');
  if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info_)) {
    info_ = {};
  }
}

ChildProcess::~ChildProcess() {
  if (info_.hProcess != nullptr) {
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(info_.hProcess, 1);
      WaitForSingleObject(info_.hProcess, 10000);
    }
    CloseHandle(info_.hProcess);
  }
  if (info_.hThread != nullptr) CloseHandle(info_.hThread);
}

std::optional<DWORD> RunAndWait(const std::wstring& commandLine, DWORD timeoutMs) {
  ChildProcess child(commandLine);
  if (!child.started() || WaitForSingleObject(child.handle(), timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!GetExitCodeProcess(child.handle(), &code)) return std::nullopt;
  return code;
}

std::optional<DWORD> Regsvr32(const std::wstring& dll, bool unregister) {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring line = L"\"" + std::wstring(system) + L"\\regsvr32.exe\" /s " + (unregister ? L"/u " : L"") +
                            L"\"" + dll + L"\"";
  return RunAndWait(line, 60000);
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

std::string WaitForLines(const std::wstring& path, size_t lines, DWORD timeoutMs) {
  const ULONGLONG giveUpAt = GetTickCount64() + timeoutMs;
  for (;;) {
    const std::string content = ReadBytes(path).value_or(std::string());
    size_t found = 0;
    for (size_t at = content.find("\r\n"); at != std::string::npos; at = content.find("\r\n", at + 2)) ++found;
    if (found >= lines || GetTickCount64() >= giveUpAt) return content;
    Sleep(50);
  }
}

}  // namespace agent_test
