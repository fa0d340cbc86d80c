#include "Variants.h"

namespace kagent {

namespace {

BSTR AllocBstr(std::wstring_view text) { return SysAllocStringLen(text.data(), static_cast<UINT>(text.size())); }

std::wstring BstrText(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

// The Windows SDK declares the source of VariantCopyInd/VariantChangeTypeEx const, mingw-w64
// does not; neither writes to it.
VARIANT* Source(const VARIANT& value) { return const_cast<VARIANT*>(&value); }

}  // namespace

HRESULT Variant::CopyFrom(const VARIANT& source) {
  VariantClear(&value_);
  return VariantCopyInd(&value_, Source(source));
}

std::wstring VtName(VARTYPE vt) {
  switch (vt) {
    case VT_I2: return L"VT_I2";
    case VT_I4: return L"VT_I4";
    case VT_BSTR: return L"VT_BSTR";
    case VT_BOOL: return L"VT_BOOL";
    default: return L"VT_other(" + std::to_wstring(vt) + L")";
  }
}

std::wstring ValueText(const VARIANT& value) {
  Variant plain;
  if (FAILED(plain.CopyFrom(value))) return {};
  const VARIANT& v = *plain;
  switch (v.vt) {
    case VT_I2: return std::to_wstring(v.iVal);
    case VT_I4: return std::to_wstring(v.lVal);
    case VT_BOOL: return std::to_wstring(v.boolVal);
    case VT_BSTR: return BstrText(v.bstrVal);
    default: break;
  }
  Variant text;
  if (FAILED(VariantChangeTypeEx(text.get(), Source(v), LOCALE_INVARIANT, VARIANT_ALPHABOOL, VT_BSTR))) return {};
  return BstrText((*text).bstrVal);
}

bool TextArgument(const VARIANT& value, std::wstring& text) {
  switch (value.vt) {
    case VT_BSTR:
      text = BstrText(value.bstrVal);
      return true;
    case VT_BSTR | VT_BYREF:
      if (value.pbstrVal == nullptr) return false;
      text = BstrText(*value.pbstrVal);
      return true;
    case VT_VARIANT | VT_BYREF:
      return value.pvarVal != nullptr && TextArgument(*value.pvarVal, text);
    default: {
      Variant converted;
      if (FAILED(VariantChangeTypeEx(converted.get(), Source(value), LOCALE_INVARIANT, 0, VT_BSTR))) return false;
      text = BstrText((*converted).bstrVal);
      return true;
    }
  }
}

void SetOutText(VARIANT& argument, std::wstring_view text) {
  if (argument.vt == (VT_BSTR | VT_BYREF) && argument.pbstrVal != nullptr) {
    SysFreeString(*argument.pbstrVal);
    *argument.pbstrVal = AllocBstr(text);
  } else if (argument.vt == (VT_VARIANT | VT_BYREF) && argument.pvarVal != nullptr) {
    SetBstr(argument.pvarVal, text);
  }
}

HRESULT SetBstr(VARIANT* target, std::wstring_view text) {
  if (target == nullptr) return E_POINTER;
  VariantClear(target);
  BSTR b = AllocBstr(text);
  if (b == nullptr) return E_OUTOFMEMORY;
  target->vt = VT_BSTR;
  target->bstrVal = b;
  return S_OK;
}

}  // namespace kagent
