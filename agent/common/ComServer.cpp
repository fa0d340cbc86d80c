#include "ComServer.h"

#include "Records.h"

namespace kagent {

namespace {

std::atomic<long> g_moduleLocks{0};

constexpr wchar_t kClassesRoot[] = L"Software\\Classes\\";

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

LSTATUS SetKeyValue(const std::wstring& subKey, const wchar_t* name, const std::wstring& value) {
  RegKey key;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE, nullptr, key.out(), nullptr);
  if (status != ERROR_SUCCESS) return status;
  return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

LSTATUS DeleteTree(const std::wstring& subKey) {
  const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

std::wstring ClsidText(const CLSID& clsid) {
  wchar_t text[40] = {};
  StringFromGUID2(clsid, text, 40);
  return text;
}

}  // namespace

void ModuleLock() { ++g_moduleLocks; }
void ModuleUnlock() { --g_moduleLocks; }
bool ModuleInUse() { return g_moduleLocks.load() != 0; }

DispatchObject::DispatchObject(std::span<const DispatchMember> members)
    : members_(members), callerNames_(members.size()) {
  ModuleLock();
}

DispatchObject::~DispatchObject() { ModuleUnlock(); }

HRESULT DispatchObject::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG DispatchObject::AddRef() { return ++refs_; }

ULONG DispatchObject::Release() {
  const ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT DispatchObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT DispatchObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT DispatchObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (names == nullptr || ids == nullptr) return E_POINTER;
  if (count == 0) return S_OK;
  // Only the member name can be resolved; these members take no named arguments.
  for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  ids[0] = DISPID_UNKNOWN;
  if (names[0] == nullptr) return DISP_E_UNKNOWNNAME;
  for (size_t i = 0; i < members_.size(); ++i) {
    if (CompareStringOrdinal(names[0], -1, members_[i].name, -1, TRUE) == CSTR_EQUAL) {
      ids[0] = members_[i].id;
      callerNames_[i] = names[0];
      return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    }
  }
  return DISP_E_UNKNOWNNAME;
}

HRESULT DispatchObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO*, UINT* argError) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  if (params == nullptr) params = &none;
  if (params->cArgs != 0 && params->rgvarg == nullptr) return E_INVALIDARG;
  // No C++ exception may unwind into the caller's COM runtime.
  try {
    return Call(id, flags, *params, result, argError);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

std::wstring DispatchObject::CallerName(DISPID id) const {
  for (size_t i = 0; i < members_.size(); ++i) {
    if (members_[i].id == id) return callerNames_[i].empty() ? std::wstring(members_[i].name) : callerNames_[i];
  }
  return {};
}

bool DispatchObject::IsPropertyPut(WORD flags, const DISPPARAMS& params) {
  if ((flags & DISPATCH_PROPERTYPUT) == 0 || params.cArgs != 1) return false;
  if (params.cNamedArgs == 0) return true;
  return params.cNamedArgs == 1 && params.rgdispidNamedArgs != nullptr &&
         params.rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
}

HRESULT RegisterServer(const CLSID& clsid, const wchar_t* progId) {
  const std::wstring modulePath = ModulePath();
  if (modulePath.empty()) return HRESULT_FROM_WIN32(GetLastError());
  const std::wstring clsidText = ClsidText(clsid);
  const std::wstring progKey = kClassesRoot + std::wstring(progId);
  const std::wstring clsidKey = kClassesRoot + std::wstring(L"CLSID\\") + clsidText;
  const struct {
    std::wstring key;
    const wchar_t* name;
    std::wstring value;
  } entries[] = {
      {progKey, nullptr, progId},
      {progKey + L"\\CLSID", nullptr, clsidText},
      {clsidKey, nullptr, progId},
      {clsidKey + L"\\ProgID", nullptr, progId},
      {clsidKey + L"\\InprocServer32", nullptr, modulePath},
      {clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
  };
  for (const auto& entry : entries) {
    const LSTATUS status = SetKeyValue(entry.key, entry.name, entry.value);
    if (status != ERROR_SUCCESS) {
      // Leave nothing half-registered behind.
      UnregisterServer(clsid, progId);
      return HRESULT_FROM_WIN32(status);
    }
  }
  return S_OK;
}

HRESULT UnregisterServer(const CLSID& clsid, const wchar_t* progId) {
  LSTATUS status = DeleteTree(kClassesRoot + std::wstring(progId));
  const LSTATUS clsidStatus = DeleteTree(kClassesRoot + std::wstring(L"CLSID\\") + ClsidText(clsid));
  if (status == ERROR_SUCCESS) status = clsidStatus;
  return HRESULT_FROM_WIN32(status);
}

}  // namespace kagent
