// VARIANT handling shared by the stand-in components.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace kagent {

// Owns one VARIANT and clears it on destruction.
class Variant {
 public:
  Variant() { VariantInit(&value_); }
  ~Variant() { VariantClear(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  VARIANT* get() { return &value_; }
  const VARIANT& operator*() const { return value_; }
  // Replaces the held value with a copy of `source`, by-reference values dereferenced.
  HRESULT CopyFrom(const VARIANT& source);

 private:
  VARIANT value_;
};

// "VT_I2", "VT_I4", "VT_BSTR", "VT_BOOL", otherwise "VT_other(<vt in decimal>)" (by-reference
// values included, so a record shows that the caller passed one).
std::wstring VtName(VARTYPE vt);

// The value as text: integers and VARIANT_BOOL as their decimal number (VARIANT_TRUE is -1),
// strings as they are, anything else as the system converts it; empty when it cannot.
std::wstring ValueText(const VARIANT& value);

// The string an argument carries: VT_BSTR, by reference or inside a VARIANT by reference.
// Anything else is converted; false when that is impossible.
bool TextArgument(const VARIANT& value, std::wstring& text);

// Stores a string into an out-argument passed as VT_BSTR|VT_BYREF or VT_VARIANT|VT_BYREF;
// an argument passed by value cannot carry anything back and is left alone.
void SetOutText(VARIANT& argument, std::wstring_view text);

// Clears `target` and makes it a VT_BSTR holding `text`.
HRESULT SetBstr(VARIANT* target, std::wstring_view text);

}  // namespace kagent
