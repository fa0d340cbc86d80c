// The agent's COM stand-ins as the program meets them: registered by the system's regsvr32,
// created by ProgID, driven late-bound through IDispatch.
#include <gtest/gtest.h>

#include "AgentTestSupport.h"
#include "ComComponents.h"
#include "platform/Dispatch.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "support/ChildProcesses.h"
#include "support/TestSupport.h"

namespace {

using agent_test::ComPtr;
using agent_test::TextOf;
using agent_test::Var;
using kdht::platform::Narrow;
using kdht::platform::Widen;
using kdht::testing::InBin;
using kdht::testing::Regsvr32;

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

TEST(ComRegistration, RegsvrRecordsProgIdClsidAndServerPath) {
  for (const auto& component : agent_test::kComComponents) {
    SCOPED_TRACE(Narrow(component.progId));
    const std::string dll = InBin(component.dll);
    ASSERT_EQ(Regsvr32(dll), std::optional<std::uint32_t>(0));

    const std::wstring classes = L"Software\\Classes\\";
    const std::wstring clsidKey = classes + L"CLSID\\" + component.clsid;
    EXPECT_EQ(agent_test::RegistryText(HKEY_LOCAL_MACHINE, classes + component.progId + L"\\CLSID", nullptr),
              std::optional<std::wstring>(component.clsid));
    EXPECT_EQ(agent_test::RegistryText(HKEY_LOCAL_MACHINE, clsidKey, nullptr),
              std::optional<std::wstring>(component.progId));
    EXPECT_EQ(agent_test::RegistryText(HKEY_LOCAL_MACHINE, clsidKey + L"\\ProgID", nullptr),
              std::optional<std::wstring>(component.progId));
    const auto server = agent_test::RegistryText(HKEY_LOCAL_MACHINE, clsidKey + L"\\InprocServer32", nullptr);
    ASSERT_TRUE(server.has_value());
    EXPECT_TRUE(SamePath(*server, Widen(dll))) << Narrow(*server);
    EXPECT_EQ(agent_test::RegistryText(HKEY_LOCAL_MACHINE, clsidKey + L"\\InprocServer32", L"ThreadingModel"),
              std::optional<std::wstring>(L"Apartment"));
  }
}

TEST(ComRegistration, UnregisterRemovesTheClassAndRegisterRestoresIt) {
  kdht::platform::ComApartment apartment;
  for (const auto& component : agent_test::kComComponents) {
    SCOPED_TRACE(Narrow(component.progId));
    const std::string dll = InBin(component.dll);
    CLSID clsid;

    ASSERT_EQ(Regsvr32(dll, true), std::optional<std::uint32_t>(0));
    const std::wstring classes = L"Software\\Classes\\";
    EXPECT_FALSE(agent_test::RegistryKeyExists(HKEY_LOCAL_MACHINE, classes + component.progId));
    EXPECT_FALSE(agent_test::RegistryKeyExists(HKEY_LOCAL_MACHINE, classes + L"CLSID\\" + component.clsid));
    EXPECT_TRUE(FAILED(CLSIDFromProgID(component.progId, &clsid)));

    ASSERT_EQ(Regsvr32(dll), std::optional<std::uint32_t>(0));
    ComPtr<IDispatch> object;
    EXPECT_EQ(agent_test::CreateByProgId(component.progId, object), S_OK);
  }
}

// The class factory, every object and every server lock keep the DLL loaded. A private copy of
// the DLL keeps COM's own references out of the count.
TEST(ComServerLifetime, DllCanUnloadNowWaitsForObjectsFactoriesAndLocks) {
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  using CanUnloadNowFn = HRESULT(WINAPI*)();

  kdht::testing::TempFolder folder;
  const std::wstring copy = Widen(folder.File("kPopup-lifetime.dll"));
  ASSERT_TRUE(CopyFileW(Widen(InBin("kPopup.dll")).c_str(), copy.c_str(), FALSE));
  const HMODULE module = LoadLibraryW(copy.c_str());
  ASSERT_NE(module, nullptr);
  const auto getClassObject = agent_test::ProcAddress<GetClassObjectFn>(module, "DllGetClassObject");
  const auto canUnloadNow = agent_test::ProcAddress<CanUnloadNowFn>(module, "DllCanUnloadNow");
  ASSERT_NE(getClassObject, nullptr);
  ASSERT_NE(canUnloadNow, nullptr);

  CLSID clsid;
  ASSERT_EQ(CLSIDFromString(agent_test::kComComponents[0].clsid, &clsid), S_OK);
  {
    EXPECT_EQ(canUnloadNow(), S_OK);
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(getClassObject(CLSID_NULL, IID_IClassFactory, factory.outVoid()), CLASS_E_CLASSNOTAVAILABLE);
    ASSERT_EQ(getClassObject(clsid, IID_IClassFactory, factory.outVoid()), S_OK);
    EXPECT_EQ(canUnloadNow(), S_FALSE);

    ComPtr<IDispatch> object;
    ComPtr<IUnknown> outer;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, outer.outVoid()), S_OK);
    ComPtr<IDispatch> aggregated;
    EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, aggregated.outVoid()), CLASS_E_NOAGGREGATION);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.outVoid()), S_OK);
    outer.reset();
    factory.reset();
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "an object is alive";
    object.reset();
    EXPECT_EQ(canUnloadNow(), S_OK);

    ASSERT_EQ(getClassObject(clsid, IID_IClassFactory, factory.outVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.reset();
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "the server is locked";
    ASSERT_EQ(getClassObject(clsid, IID_IClassFactory, factory.outVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    EXPECT_EQ(canUnloadNow(), S_OK);
  }
  FreeLibrary(module);
}

class PopupDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Regsvr32(InBin("kPopup.dll")), std::optional<std::uint32_t>(0));
    ASSERT_EQ(agent_test::CreateByProgId(L"kPopup.Display", popup_), S_OK);
  }
  std::string Record() const { return kdht::testing::ReadBytes(record_.path()).value_or("<no record file>"); }

  kdht::platform::ComApartment apartment_;
  agent_test::ScopedFile record_{InBin("kPopup-calls.log")};
  ComPtr<IDispatch> popup_;
};

TEST_F(PopupDisplayTest, RecordsEveryPutAsSpelledAndThePopupCall) {
  const struct {
    const wchar_t* name;
    Var value;
  } puts[] = {
      {L"Icon", Var::I4(64)},
      {L"header", Var::Text(L"Gr\u00f6\u00dfe \u2713 neu")},
      {L"BODY", Var::Text(L"line one\r\nline\ttwo")},
      {L"DisplayTimeSeconds", Var::I4(30)},
      {L"popupheight", Var::I4(200)},
      {L"PopupWidth", Var::I4(350)},
      {L"TransparencyLevel", Var::I2(20)},
      {L"ModalForm", Var::I4(1)},
  };
  for (const auto& put : puts) {
    EXPECT_EQ(agent_test::PutProperty(popup_.get(), put.name, *put.value), S_OK) << Narrow(put.name);
  }
  EXPECT_EQ(agent_test::CallMethod(popup_.get(), L"Popup", {}), S_OK);
  Var closedBy;
  EXPECT_EQ(agent_test::GetProperty(popup_.get(), L"ClosedBy", closedBy), S_OK);
  EXPECT_EQ(TextOf(*closedBy), L"Timeout");

  EXPECT_EQ(Record(),
            "put\tIcon\tVT_I4\t64\r\n"
            "put\theader\tVT_BSTR\tGr\xc3\xb6\xc3\x9f" "e \xe2\x9c\x93 neu\r\n"
            "put\tBODY\tVT_BSTR\tline one\\r\\nline\\ttwo\r\n"
            "put\tDisplayTimeSeconds\tVT_I4\t30\r\n"
            "put\tpopupheight\tVT_I4\t200\r\n"
            "put\tPopupWidth\tVT_I4\t350\r\n"
            "put\tTransparencyLevel\tVT_I2\t20\r\n"
            "put\tModalForm\tVT_I4\t1\r\n"
            "popup\r\n");
}

TEST_F(PopupDisplayTest, OtherTypesAreRecordedAndPropertiesReadBack) {
  LONG height = 7;
  VARIANT byRef;
  VariantInit(&byRef);
  byRef.vt = VT_I4 | VT_BYREF;
  byRef.plVal = &height;

  EXPECT_EQ(agent_test::PutProperty(popup_.get(), L"ModalForm", *Var::Bool(true)), S_OK);
  EXPECT_EQ(agent_test::PutProperty(popup_.get(), L"PopupWidth", *Var::R8(2.5)), S_OK);
  EXPECT_EQ(agent_test::PutProperty(popup_.get(), L"PopupHeight", byRef), S_OK);
  EXPECT_EQ(agent_test::PutProperty(popup_.get(), L"Header", *Var::Text(L"first")), S_OK);
  EXPECT_EQ(agent_test::PutProperty(popup_.get(), L"Header", *Var::Text(L"second")), S_OK);
  height = 9;  // the component keeps the value, not the caller's variable

  Var value;
  ASSERT_EQ(agent_test::GetProperty(popup_.get(), L"modalform", value), S_OK);
  EXPECT_EQ((*value).vt, VT_BOOL);
  EXPECT_EQ((*value).boolVal, VARIANT_TRUE);
  ASSERT_EQ(agent_test::GetProperty(popup_.get(), L"PopupWidth", value), S_OK);
  EXPECT_EQ((*value).vt, VT_R8);
  EXPECT_EQ((*value).dblVal, 2.5);
  ASSERT_EQ(agent_test::GetProperty(popup_.get(), L"PopupHeight", value), S_OK);
  EXPECT_EQ((*value).vt, VT_I4);
  EXPECT_EQ((*value).lVal, 7);
  ASSERT_EQ(agent_test::GetProperty(popup_.get(), L"Header", value), S_OK);
  EXPECT_EQ(TextOf(*value), L"second");
  ASSERT_EQ(agent_test::GetProperty(popup_.get(), L"Body", value), S_OK);
  EXPECT_EQ((*value).vt, VT_EMPTY) << "never set";

  EXPECT_EQ(Record(),
            "put\tModalForm\tVT_BOOL\t-1\r\n"
            "put\tPopupWidth\tVT_other(5)\t2.5\r\n"
            "put\tPopupHeight\tVT_other(16387)\t7\r\n"
            "put\tHeader\tVT_BSTR\tfirst\r\n"
            "put\tHeader\tVT_BSTR\tsecond\r\n");
}

TEST_F(PopupDisplayTest, UnknownNamesAndMisuseAreRefusedAndNotRecorded) {
  DISPID id = 0;
  EXPECT_EQ(agent_test::IdOf(popup_.get(), L"Show", id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  EXPECT_EQ(agent_test::PutProperty(popup_.get(), L"ClosedBy", *Var::Text(L"User")), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(agent_test::CallMethod(popup_.get(), L"Popup", {*Var::I4(1)}), DISP_E_BADPARAMCOUNT);
  Var value;
  EXPECT_EQ(agent_test::GetProperty(popup_.get(), L"Popup", value), DISP_E_MEMBERNOTFOUND);

  UINT typeInfoCount = 1;
  EXPECT_EQ(popup_->GetTypeInfoCount(&typeInfoCount), S_OK);
  EXPECT_EQ(typeInfoCount, 0u);

  EXPECT_FALSE(kdht::platform::FileExists(record_.path())) << Record();
}

}  // namespace
