#include "platform/Registry.h"

#include <windows.h>

#include "platform/Text.h"

namespace kdht::platform {
namespace {

HKEY RootOf(Hive hive) { return hive == Hive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }
REGSAM ViewOf(RegView view) { return view == RegView::Wow32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }

}  // namespace

RegKey::~RegKey() { Close(); }

RegKey::RegKey(RegKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }

RegKey& RegKey::operator=(RegKey&& other) noexcept {
  if (this != &other) {
    Close();
    key_ = other.key_;
    other.key_ = nullptr;
  }
  return *this;
}

void RegKey::Close() {
  if (key_ != nullptr) {
    RegCloseKey(static_cast<HKEY>(key_));
    key_ = nullptr;
  }
}

long RegKey::Open(Hive hive, const std::string& path, bool queryOnly, RegView view) {
  Close();
  HKEY key = nullptr;
  const REGSAM access = (queryOnly ? KEY_QUERY_VALUE : KEY_READ) | ViewOf(view);
  LONG rc = RegOpenKeyExW(RootOf(hive), Widen(path).c_str(), 0, access, &key);
  if (rc == ERROR_SUCCESS) key_ = key;
  return rc;
}

long RegKey::OpenSubkey(const RegKey& parent, const std::string& name, bool queryOnly, RegView view) {
  Close();
  if (parent.key_ == nullptr) return ERROR_INVALID_HANDLE;
  HKEY key = nullptr;
  const REGSAM access = (queryOnly ? KEY_QUERY_VALUE : KEY_READ) | ViewOf(view);
  LONG rc = RegOpenKeyExW(static_cast<HKEY>(parent.key_), Widen(name).c_str(), 0, access, &key);
  if (rc == ERROR_SUCCESS) key_ = key;
  return rc;
}

long RegKey::Create(Hive hive, const std::string& path, RegView view) {
  Close();
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(RootOf(hive), Widen(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | ViewOf(view), nullptr,
                            &key, nullptr);
  if (rc == ERROR_SUCCESS) key_ = key;
  return rc;
}

long RegKey::QueryInfo(const std::string& name, std::uint32_t* type, std::uint32_t* bytes) const {
  DWORD t = 0, n = 0;
  LONG rc = RegQueryValueExW(static_cast<HKEY>(key_), Widen(name).c_str(), nullptr, &t, nullptr, &n);
  if (rc == ERROR_SUCCESS) {
    *type = t;
    *bytes = n;
  }
  return rc;
}

long RegKey::QueryRawString(const std::string& name, std::string* out) const {
  const std::wstring wname = Widen(name);
  DWORD type = 0, bytes = 0;
  LONG rc = RegQueryValueExW(static_cast<HKEY>(key_), wname.c_str(), nullptr, &type, nullptr, &bytes);
  if (rc != ERROR_SUCCESS) return rc;
  // Values can change between the probe and the read; retry a few times while it grows.
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::wstring buffer((bytes + 1) / 2, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size()) * 2;
    rc = RegQueryValueExW(static_cast<HKEY>(key_), wname.c_str(), nullptr, &type,
                          reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (rc == ERROR_MORE_DATA) {
      bytes = size;
      continue;
    }
    if (rc != ERROR_SUCCESS) return rc;
    buffer.resize(size / 2);
    *out = Narrow(buffer);
    return ERROR_SUCCESS;
  }
  return rc;
}

long RegKey::QueryDword(const std::string& name, std::int32_t* out) const {
  DWORD value = 0, size = sizeof value, type = 0;
  LONG rc = RegQueryValueExW(static_cast<HKEY>(key_), Widen(name).c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(&value), &size);
  if (rc == ERROR_SUCCESS) *out = static_cast<std::int32_t>(value);
  return rc;
}

long RegKey::EnumSubkey(std::uint32_t index, std::string* name) const {
  // Key names run to 255 characters; the size counts the terminating NUL.
  wchar_t buffer[256] = {};
  DWORD size = 256;
  LONG rc = RegEnumKeyExW(static_cast<HKEY>(key_), index, buffer, &size, nullptr, nullptr, nullptr, nullptr);
  if (rc == ERROR_SUCCESS) *name = Narrow(std::wstring_view(buffer, size));
  return rc;
}

long RegKey::SetString(const std::string& name, const std::string& value, std::uint32_t type) {
  const std::wstring w = Widen(value);
  return RegSetValueExW(static_cast<HKEY>(key_), Widen(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(w.c_str()),
                        static_cast<DWORD>(w.size() + 1) * static_cast<DWORD>(sizeof(wchar_t)));
}

long RegKey::SetDword(const std::string& name, std::uint32_t value) {
  DWORD v = value;
  return RegSetValueExW(static_cast<HKEY>(key_), Widen(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                        sizeof v);
}

long RegKey::DeleteValue(const std::string& name) {
  return RegDeleteValueW(static_cast<HKEY>(key_), Widen(name).c_str());
}

long DeleteRegTree(Hive hive, const std::string& path, RegView view) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(RootOf(hive), Widen(path).c_str(), 0, KEY_ALL_ACCESS | ViewOf(view), &key);
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegDeleteTreeW(key, nullptr);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return rc;
  return RegDeleteKeyExW(RootOf(hive), Widen(path).c_str(), ViewOf(view), 0);
}

}  // namespace kdht::platform
