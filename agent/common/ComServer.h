// In-process COM server parts for the stand-in components: module lifetime, a late-bound
// IDispatch base without a type library, the class factory and self-registration.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <atomic>
#include <new>
#include <span>
#include <string>
#include <vector>

namespace kagent {

// Live objects, class factories and IClassFactory::LockServer locks of this DLL.
void ModuleLock();
void ModuleUnlock();
bool ModuleInUse();

struct DispatchMember {
  const wchar_t* name;
  DISPID id;
};

class DispatchObject : public IDispatch {
 public:
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  // Names match case-insensitively, as late-bound callers expect.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

 protected:
  // `members` must outlive the object (a static table in practice). Starts with one reference.
  explicit DispatchObject(std::span<const DispatchMember> members);
  virtual ~DispatchObject();

  // One call through Invoke. `params` holds the arguments last-to-first, as Invoke delivers them.
  virtual HRESULT Call(DISPID id, WORD flags, DISPPARAMS& params, VARIANT* result, UINT* argError) = 0;

  // The member's name as the caller spelled it in GetIDsOfNames; the declared name if it never
  // asked (a caller may know the DISPIDs).
  std::wstring CallerName(DISPID id) const;

  // A property put: one argument, the only named one (if any) DISPID_PROPERTYPUT.
  static bool IsPropertyPut(WORD flags, const DISPPARAMS& params);

 private:
  std::atomic<ULONG> refs_{1};
  std::span<const DispatchMember> members_;
  std::vector<std::wstring> callerNames_;  // parallel to members_
};

template <class T>
class ClassFactory final : public IClassFactory {
 public:
  ClassFactory() { ModuleLock(); }
  ClassFactory(const ClassFactory&) = delete;
  ClassFactory& operator=(const ClassFactory&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    T* instance = new (std::nothrow) T();
    if (instance == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = instance->QueryInterface(riid, object);
    instance->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? ModuleLock() : ModuleUnlock();
    return S_OK;
  }

 private:
  ~ClassFactory() { ModuleUnlock(); }
  std::atomic<ULONG> refs_{1};
};

// DllGetClassObject for a DLL serving the single class `clsid` implemented by T.
template <class T>
HRESULT GetClassObject(const CLSID& clsid, REFCLSID requested, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(requested, clsid)) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) ClassFactory<T>();
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

// HKLM\Software\Classes: <progId>\CLSID, CLSID\{clsid} with ProgID and InprocServer32 (this
// DLL's path, apartment threaded). Unregistering removes both trees; absent keys are fine.
HRESULT RegisterServer(const CLSID& clsid, const wchar_t* progId);
HRESULT UnregisterServer(const CLSID& clsid, const wchar_t* progId);

}  // namespace kagent
