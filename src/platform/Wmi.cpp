#include "platform/Wmi.h"

#include <windows.h>
#include <oleauto.h>
#include <wbemidl.h>

#include "platform/ComPtr.h"
#include "platform/ComValue.h"
#include "platform/Failure.h"
#include "platform/Text.h"

namespace kdht::platform {
namespace {

// The WBEM codes have no text in the system's message table; these are the ones a query of
// a local class meets.
[[noreturn]] void ThrowWbemError(HRESULT hr) {
  switch (static_cast<unsigned long>(hr)) {
    case 0x80041001UL: throw Failure(hr, "Generic failure");
    case 0x80041002UL: throw Failure(hr, "Not found");
    case 0x80041003UL: throw Failure(hr, "Access denied");
    case 0x80041008UL: throw Failure(hr, "Invalid parameter");
    case 0x80041010UL: throw Failure(hr, "Invalid class");
    case 0x8004100EUL: throw Failure(hr, "Invalid namespace");
    default: ThrowComError(hr);
  }
}

void Check(HRESULT hr) {
  if (FAILED(hr)) ThrowWbemError(hr);
}

class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&v_); }
  ~ScopedVariant() { VariantClear(&v_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  VARIANT* put() {
    VariantClear(&v_);
    return &v_;
  }
  const VARIANT& get() const { return v_; }

 private:
  VARIANT v_{};
};

}  // namespace

std::vector<WmiRow> WmiInstances(const std::string& className, const std::vector<std::string>& properties) {
  ComPtr<IWbemLocator> locator;
  Check(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                         reinterpret_cast<void**>(locator.put())));

  ComPtr<IWbemServices> services;
  Bstr nameSpace("root\\cimv2");
  Check(locator->ConnectServer(nameSpace.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put()));

  // Calls through a proxy carry the caller's identity; an in-process provider has no proxy
  // and nothing to set.
  HRESULT hr = CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                 RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(hr) && hr != E_NOINTERFACE) ThrowWbemError(hr);

  ComPtr<IEnumWbemClassObject> instances;
  Bstr cls(className);
  Check(services->CreateInstanceEnum(cls.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                     instances.put()));

  std::vector<std::wstring> names;
  names.reserve(properties.size());
  for (const auto& p : properties) names.push_back(Widen(p));

  std::vector<WmiRow> rows;
  for (;;) {
    ComPtr<IWbemClassObject> instance;
    ULONG got = 0;
    Check(instances->Next(static_cast<long>(WBEM_INFINITE), 1, instance.put(), &got));
    if (got == 0) break;
    WmiRow row;
    row.reserve(names.size());
    for (const auto& name : names) {
      ScopedVariant value;
      Check(instance->Get(name.c_str(), 0, value.put(), nullptr, nullptr));
      const VARTYPE vt = V_VT(&value.get());
      if (vt == VT_NULL || vt == VT_EMPTY) {
        row.emplace_back(std::nullopt);
      } else {
        row.emplace_back(DispatchValueText(FromVariant(value.get())));
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace kdht::platform
