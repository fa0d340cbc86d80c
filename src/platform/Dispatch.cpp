#include "platform/Dispatch.h"

#include <windows.h>
#include <oleauto.h>

#include <memory>

#include "platform/ComValue.h"
#include "platform/Failure.h"
#include "platform/Text.h"

namespace kdht::platform {

Bstr::Bstr(const std::string& utf8) {
  const std::wstring w = Widen(utf8);
  b_ = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

std::string Bstr::str() const { return BstrText(b_); }

std::string BstrText(BSTR b) {
  if (b == nullptr) return {};
  return Narrow(std::wstring_view(b, SysStringLen(b)));
}

DispatchValue FromVariant(const VARIANT& v) {
  const VARIANT* p = &v;
  if (V_VT(p) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(p) != nullptr) p = V_VARIANTREF(p);
  switch (V_VT(p)) {
    case VT_EMPTY:
    case VT_NULL: return std::monostate{};
    case VT_BOOL: return V_BOOL(p) != VARIANT_FALSE;
    case VT_BOOL | VT_BYREF: return *V_BOOLREF(p) != VARIANT_FALSE;
    case VT_I2: return static_cast<std::int16_t>(V_I2(p));
    case VT_I4: return static_cast<std::int32_t>(V_I4(p));
    case VT_INT: return static_cast<std::int32_t>(V_INT(p));
    case VT_BSTR: return BstrText(V_BSTR(p));
    case VT_BSTR | VT_BYREF: return BstrText(*V_BSTRREF(p));
    default: {
      VARIANT text;
      VariantInit(&text);
      if (SUCCEEDED(VariantChangeType(&text, const_cast<VARIANT*>(p), 0, VT_BSTR))) {
        std::string s = BstrText(V_BSTR(&text));
        VariantClear(&text);
        return s;
      }
      return std::monostate{};
    }
  }
}

void ToVariant(const DispatchValue& value, VARIANT* out) {
  VariantInit(out);
  if (std::holds_alternative<bool>(value)) {
    V_VT(out) = VT_BOOL;
    V_BOOL(out) = std::get<bool>(value) ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (std::holds_alternative<std::int16_t>(value)) {
    V_VT(out) = VT_I2;
    V_I2(out) = std::get<std::int16_t>(value);
  } else if (std::holds_alternative<std::int32_t>(value)) {
    V_VT(out) = VT_I4;
    V_I4(out) = std::get<std::int32_t>(value);
  } else if (std::holds_alternative<std::string>(value)) {
    const std::wstring w = Widen(std::get<std::string>(value));
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  }
}

void ThrowComError(HRESULT hr, const EXCEPINFO* info) {
  if (hr == REGDB_E_CLASSNOTREG || hr == CO_E_CLASSSTRING || hr == CO_E_APPNOTFOUND) {
    throw Failure(kErrCannotCreateObject, "ActiveX component can't create object");
  }
  if (hr == TYPE_E_LIBNOTREGISTERED) {
    throw Failure(kErrLibraryNotRegistered, "Library not registered");
  }
  if (hr == DISP_E_EXCEPTION && info != nullptr) {
    const HRESULT code = info->scode != 0 ? info->scode : static_cast<HRESULT>(info->wCode);
    std::string text = BstrText(info->bstrDescription);
    if (text.empty()) text = SystemMessage(code);
    throw Failure(code, text);
  }
  throw Failure(static_cast<std::int32_t>(hr), SystemMessage(hr));
}

ComApartment::ComApartment(Entry entry) {
  if (entry == Entry::Now) Enter();
}

void ComApartment::Enter() {
  if (tried_) return;
  tried_ = true;
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  initialized_ = SUCCEEDED(hr);
}

ComApartment::~ComApartment() {
  if (initialized_) CoUninitialize();
}

std::string DispatchValueText(const DispatchValue& value) {
  if (std::holds_alternative<std::string>(value)) return std::get<std::string>(value);
  if (std::holds_alternative<bool>(value)) return std::get<bool>(value) ? "True" : "False";
  if (std::holds_alternative<std::int16_t>(value)) return std::to_string(std::get<std::int16_t>(value));
  if (std::holds_alternative<std::int32_t>(value)) return std::to_string(std::get<std::int32_t>(value));
  return {};
}

bool DispatchValueTrue(const DispatchValue& value) {
  if (std::holds_alternative<bool>(value)) return std::get<bool>(value);
  if (std::holds_alternative<std::int16_t>(value)) return std::get<std::int16_t>(value) != 0;
  if (std::holds_alternative<std::int32_t>(value)) return std::get<std::int32_t>(value) != 0;
  return false;
}

Dispatch::~Dispatch() {
  if (object_ != nullptr) static_cast<IDispatch*>(object_)->Release();
}

Dispatch::Dispatch(Dispatch&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }

Dispatch& Dispatch::operator=(Dispatch&& other) noexcept {
  if (this != &other) {
    if (object_ != nullptr) static_cast<IDispatch*>(object_)->Release();
    object_ = other.object_;
    other.object_ = nullptr;
  }
  return *this;
}

Dispatch Dispatch::Create(const std::string& progId) {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(Widen(progId).c_str(), &clsid);
  if (FAILED(hr)) ThrowComError(hr);
  IDispatch* object = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                        reinterpret_cast<void**>(&object));
  if (FAILED(hr)) ThrowComError(hr);
  return Dispatch(object);
}

namespace {

DISPID IdOf(IDispatch* object, const std::string& name) {
  std::wstring w = Widen(name);
  LPOLESTR names[] = {w.data()};
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) {
    if (hr == DISP_E_UNKNOWNNAME) throw Failure(438, "Object doesn't support this property or method");
    ThrowComError(hr);
  }
  return id;
}

// Frees the VARIANTs of one call on every path.
struct VariantArray {
  explicit VariantArray(size_t n) : items(n) {
    for (auto& v : items) VariantInit(&v);
  }
  ~VariantArray() {
    for (auto& v : items) VariantClear(&v);
  }
  std::vector<VARIANT> items;
};

}  // namespace

void Dispatch::Put(const std::string& property, const DispatchValue& value) {
  if (object_ == nullptr) throw Failure(91, "Object variable or With block variable not set");
  IDispatch* object = static_cast<IDispatch*>(object_);
  DISPID id = IdOf(object, property);
  VariantArray arg(1);
  ToVariant(value, &arg.items[0]);
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params = {arg.items.data(), &named, 1, 1};
  EXCEPINFO info = {};
  HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, &info, nullptr);
  if (FAILED(hr)) ThrowComError(hr, &info);
}

DispatchValue Dispatch::Get(const std::string& property) {
  if (object_ == nullptr) throw Failure(91, "Object variable or With block variable not set");
  IDispatch* object = static_cast<IDispatch*>(object_);
  DISPID id = IdOf(object, property);
  DISPPARAMS params = {nullptr, nullptr, 0, 0};
  VariantArray result(1);
  EXCEPINFO info = {};
  HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &params,
                              &result.items[0], &info, nullptr);
  if (FAILED(hr)) ThrowComError(hr, &info);
  return FromVariant(result.items[0]);
}

DispatchValue Dispatch::Call(const std::string& method, std::vector<DispatchArg>& args) {
  if (object_ == nullptr) throw Failure(91, "Object variable or With block variable not set");
  IDispatch* object = static_cast<IDispatch*>(object_);
  DISPID id = IdOf(object, method);
  const size_t n = args.size();
  // Storage for the by-reference values, and the argument VARIANTs in reverse order.
  VariantArray storage(n);
  VariantArray passed(n);
  for (size_t i = 0; i < n; ++i) {
    ToVariant(args[i].value, &storage.items[i]);
    VARIANT& slot = passed.items[n - 1 - i];
    if (args[i].byRef) {
      V_VT(&slot) = VT_VARIANT | VT_BYREF;
      V_VARIANTREF(&slot) = &storage.items[i];
      // By-reference strings and booleans are passed typed, as a late-bound caller would.
      if (V_VT(&storage.items[i]) == VT_BSTR) {
        V_VT(&slot) = VT_BSTR | VT_BYREF;
        V_BSTRREF(&slot) = &V_BSTR(&storage.items[i]);
      } else if (V_VT(&storage.items[i]) == VT_BOOL) {
        V_VT(&slot) = VT_BOOL | VT_BYREF;
        V_BOOLREF(&slot) = &V_BOOL(&storage.items[i]);
      }
    } else {
      VariantCopy(&slot, &storage.items[i]);
    }
  }
  DISPPARAMS params = {passed.items.data(), nullptr, static_cast<UINT>(n), 0};
  VariantArray result(1);
  EXCEPINFO info = {};
  UINT argErr = 0;
  HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result.items[0], &info,
                              &argErr);
  // By-reference slots that pointed into storage must not be freed twice.
  for (size_t i = 0; i < n; ++i) {
    if (args[i].byRef) {
      V_VT(&passed.items[n - 1 - i]) = VT_EMPTY;
      args[i].value = FromVariant(storage.items[i]);
    }
  }
  if (FAILED(hr)) ThrowComError(hr, &info);
  return FromVariant(result.items[0]);
}

}  // namespace kdht::platform
