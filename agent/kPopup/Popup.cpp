// Stand-in of the agent's popup notifier. Instead of showing a window it records each property
// the caller sets and each Popup call in kPopup-calls.log next to the DLL:
//   put<TAB><name as the caller spelled it><TAB><VT name><TAB><value>
//   popup
#include <windows.h>
#include <ole2.h>

#include <array>

#include "ComServer.h"
#include "Records.h"
#include "Variants.h"

namespace {

// {7AB13495-87AD-40BC-A96D-8C7D005B860C}
constexpr CLSID kClsid = {0x7ab13495, 0x87ad, 0x40bc, {0xa9, 0x6d, 0x8c, 0x7d, 0x00, 0x5b, 0x86, 0x0c}};
constexpr wchar_t kProgId[] = L"kPopup.Display";
constexpr wchar_t kRecordFile[] = L"kPopup-calls.log";

enum Member : DISPID {
  kIcon = 1,
  kHeader,
  kBody,
  kDisplayTimeSeconds,
  kPopupHeight,
  kPopupWidth,
  kTransparencyLevel,
  kModalForm,
  kClosedBy,
  kPopup,
};
constexpr DISPID kFirstSettable = kIcon;
constexpr DISPID kLastSettable = kModalForm;

constexpr kagent::DispatchMember kMembers[] = {
    {L"Icon", kIcon},
    {L"Header", kHeader},
    {L"Body", kBody},
    {L"DisplayTimeSeconds", kDisplayTimeSeconds},
    {L"PopupHeight", kPopupHeight},
    {L"PopupWidth", kPopupWidth},
    {L"TransparencyLevel", kTransparencyLevel},
    {L"ModalForm", kModalForm},
    {L"ClosedBy", kClosedBy},
    {L"Popup", kPopup},
};

class Display final : public kagent::DispatchObject {
 public:
  Display() : DispatchObject(kMembers) {}

 protected:
  HRESULT Call(DISPID id, WORD flags, DISPPARAMS& params, VARIANT* result, UINT*) override {
    if (id == kPopup) {
      if ((flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
      if (params.cArgs != 0) return DISP_E_BADPARAMCOUNT;
      kagent::AppendRecord(kRecordFile, L"popup");
      if (result != nullptr) VariantInit(result);
      return S_OK;
    }
    if (id == kClosedBy) {
      if ((flags & DISPATCH_PROPERTYGET) == 0) return DISP_E_MEMBERNOTFOUND;
      if (params.cArgs != 0) return DISP_E_BADPARAMCOUNT;
      // The notifier was never shown, so it always ends as if its display time ran out.
      if (result == nullptr) return S_OK;
      VariantInit(result);
      return kagent::SetBstr(result, L"Timeout");
    }
    if (id < kFirstSettable || id > kLastSettable) return DISP_E_MEMBERNOTFOUND;

    kagent::Variant& stored = values_[static_cast<size_t>(id - kFirstSettable)];
    if (IsPropertyPut(flags, params)) {
      const VARIANT& value = params.rgvarg[0];
      const HRESULT hr = stored.CopyFrom(value);
      if (FAILED(hr)) return hr;
      kagent::AppendRecord(kRecordFile, L"put\t" + kagent::RecordField(CallerName(id)) + L"\t" +
                                            kagent::VtName(value.vt) + L"\t" +
                                            kagent::RecordField(kagent::ValueText(value)));
      return S_OK;
    }
    if ((flags & DISPATCH_PROPERTYGET) != 0) {
      if (params.cArgs != 0) return DISP_E_BADPARAMCOUNT;
      if (result == nullptr) return S_OK;
      VariantInit(result);
      return VariantCopy(result, stored.get());
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  std::array<kagent::Variant, kLastSettable - kFirstSettable + 1> values_;
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
  return kagent::GetClassObject<Display>(kClsid, clsid, riid, object);
}

STDAPI DllCanUnloadNow() { return kagent::ModuleInUse() ? S_FALSE : S_OK; }

STDAPI DllRegisterServer() { return kagent::RegisterServer(kClsid, kProgId); }

STDAPI DllUnregisterServer() { return kagent::UnregisterServer(kClsid, kProgId); }
