// The checksum library as its callers use it: loaded from the program's folder, exports looked
// up by their undecorated names, VARIANTs in and out.
#include <gtest/gtest.h>

#include "AgentTestSupport.h"
#include "platform/Text.h"
#include "support/TestSupport.h"

namespace {

using agent_test::TextOf;
using agent_test::Var;
using kdht::platform::Narrow;
using kdht::platform::Widen;

using GetMd5Fn = short(WINAPI*)(VARIANT path, VARIANT* checksum, VARIANT* fileSize, VARIANT* errorText);
using GetMd5BlockFn = short(WINAPI*)(VARIANT path, VARIANT blockSizeKb, VARIANT* checksum, VARIANT* fileSize,
                                     VARIANT* errorText);

constexpr wchar_t kMillionAsDigest[] = L"7707d6ae4e027c70eea2a935c2296f21";

struct Result {
  short returned;
  std::wstring checksum;
  std::wstring fileSize;
  std::wstring errorText;
};

class KGnMD5Test : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryW(Widen(kdht::testing::InBin("KGnMD5.dll")).c_str());
    ASSERT_NE(module_, nullptr) << "KGnMD5.dll next to the test binary, error " << GetLastError();
    getMd5_ = agent_test::ProcAddress<GetMd5Fn>(module_, "KGetMD5");
    getMd5Block_ = agent_test::ProcAddress<GetMd5BlockFn>(module_, "KGetMD5WBlock");
    ASSERT_NE(getMd5_, nullptr);
    ASSERT_NE(getMd5Block_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  // Outputs start out holding stale values, as a caller reusing its variables would pass them.
  Result Md5(const VARIANT& path) {
    Var checksum = Var::Text(L"stale"), size = Var::Text(L"stale"), error = Var::Text(L"stale");
    const short returned = getMd5_(path, checksum.get(), size.get(), error.get());
    return {returned, TextOf(*checksum), TextOf(*size), TextOf(*error)};
  }
  Result Md5(const std::wstring& path) { return Md5(*Var::Text(path)); }

  Result Md5Block(const std::wstring& path, const VARIANT& blockSizeKb) {
    Var checksum = Var::I4(7), size = Var::I4(7), error = Var::I4(7);
    const short returned = getMd5Block_(*Var::Text(path), blockSizeKb, checksum.get(), size.get(), error.get());
    return {returned, TextOf(*checksum), TextOf(*size), TextOf(*error)};
  }

  std::wstring FileWith(const std::wstring& name, const std::string& content) {
    const std::wstring path = File(name);
    EXPECT_TRUE(kdht::testing::WriteBytes(Narrow(path), content));
    return path;
  }

  std::wstring File(const std::wstring& name) const { return Widen(folder_.File(Narrow(name))); }

  kdht::testing::TempFolder folder_;
  HMODULE module_ = nullptr;
  GetMd5Fn getMd5_ = nullptr;
  GetMd5BlockFn getMd5Block_ = nullptr;
};

TEST_F(KGnMD5Test, KnownContentsGiveTheirDigestAndSize) {
  const struct {
    std::string content;
    const wchar_t* digest;
  } cases[] = {
      {"", L"d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
      {std::string("\0\r\n\x1a\xff", 5), L"9eae90d081bee6e80969ee243880c3d5"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n);
    const Result r = Md5(FileWith(L"known-" + std::to_wstring(n++) + L".bin", c.content));
    EXPECT_EQ(r.returned, 1);
    EXPECT_EQ(r.checksum, c.digest);
    EXPECT_EQ(r.fileSize, std::to_wstring(c.content.size()));
    EXPECT_EQ(r.errorText, L"");
  }
}

// A million 'a's span many blocks of every size and end in a partial block for each of them.
TEST_F(KGnMD5Test, BlockSizeNeverChangesTheDigest) {
  const std::wstring path = FileWith(L"million.txt", std::string(1000000, 'a'));

  const Result whole = Md5(path);
  EXPECT_EQ(whole.returned, 1);
  EXPECT_EQ(whole.checksum, kMillionAsDigest);
  EXPECT_EQ(whole.fileSize, L"1000000");

  Var empty;
  const struct {
    const char* label;
    Var value;
  } blockSizes[] = {
      {"\"1\"", Var::Text(L"1")},     {"\"32\"", Var::Text(L"32")},          {"32 as VT_I4", Var::I4(32)},
      {"\"0\" (raised to the minimum)", Var::Text(L"0")},                    {"\"-5\"", Var::Text(L"-5")},
      {"\"999999\" (lowered to the maximum)", Var::Text(L"999999")},       {"absent", std::move(empty)},
  };
  for (const auto& blockSize : blockSizes) {
    SCOPED_TRACE(blockSize.label);
    const Result r = Md5Block(path, *blockSize.value);
    EXPECT_EQ(r.returned, 1);
    EXPECT_EQ(r.checksum, kMillionAsDigest);
    EXPECT_EQ(r.fileSize, L"1000000");
    EXPECT_EQ(r.errorText, L"");
  }
}

TEST_F(KGnMD5Test, PathMayComeByReferenceAndNameAnyFile) {
  const std::wstring path = FileWith(L"Pr\u00fcfung \u03a9 t\u00e4glich.txt", "abc");
  BSTR text = SysAllocString(path.c_str());
  VARIANT byRef;
  VariantInit(&byRef);
  byRef.vt = VT_BSTR | VT_BYREF;
  byRef.pbstrVal = &text;
  const Result r = Md5(byRef);
  SysFreeString(text);
  EXPECT_EQ(r.returned, 1);
  EXPECT_EQ(r.checksum, L"900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(r.fileSize, L"3");
}

TEST_F(KGnMD5Test, FailuresReturnZeroWithTheReasonAndEmptyResults) {
  wchar_t* buffer = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 ERROR_FILE_NOT_FOUND, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  ASSERT_NE(buffer, nullptr);
  std::wstring notFound = buffer;
  LocalFree(buffer);
  notFound.erase(notFound.find_last_not_of(L"\r\n ") + 1);

  const Result missing = Md5(File(L"no-such-file.bin"));
  EXPECT_EQ(missing.returned, 0);
  EXPECT_EQ(missing.errorText, notFound);
  EXPECT_EQ(missing.checksum, L"");
  EXPECT_EQ(missing.fileSize, L"0");

  const struct {
    const char* label;
    Result result;
  } failures[] = {
      {"a folder", Md5(Widen(folder_.path()))},
      {"path not a string", Md5(*Var::I4(12))},
      {"empty path", Md5(std::wstring())},
      {"block size not a number", Md5Block(FileWith(L"x.txt", "abc"), *Var::Text(L"big"))},
      {"missing file, block variant", Md5Block(File(L"gone.txt"), *Var::Text(L"8"))},
  };
  for (const auto& failure : failures) {
    SCOPED_TRACE(failure.label);
    EXPECT_EQ(failure.result.returned, 0);
    EXPECT_NE(failure.result.errorText, L"");
    EXPECT_EQ(failure.result.checksum, L"");
    EXPECT_EQ(failure.result.fileSize, L"0");
  }
}

}  // namespace
