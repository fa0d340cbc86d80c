// BSTR and VARIANT helpers shared by the COM wrappers (platform-internal).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "platform/Dispatch.h"

namespace kdht::platform {

// Owns a BSTR.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::string& utf8);
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return b_; }
  BSTR* put() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::string str() const;

 private:
  BSTR b_ = nullptr;
};

std::string BstrText(BSTR b);
// Converts a VARIANT to a DispatchValue (numbers, booleans, strings; others via their text).
DispatchValue FromVariant(const VARIANT& v);
// Fills a fresh VARIANT from a value (strings become new BSTRs).
void ToVariant(const DispatchValue& value, VARIANT* out);
// Failure for an HRESULT from a component, with 429 for classes that are not registered.
[[noreturn]] void ThrowComError(HRESULT hr, const EXCEPINFO* info = nullptr);

}  // namespace kdht::platform
