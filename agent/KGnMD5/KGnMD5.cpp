// MD5 of a file's contents for callers that pass VARIANTs across plain stdcall exports:
//   short KGetMD5(VARIANT path, VARIANT* checksum, VARIANT* fileSize, VARIANT* errorText)
//   short KGetMD5WBlock(VARIANT path, VARIANT blockSizeKb, VARIANT* checksum, VARIANT* fileSize,
//                       VARIANT* errorText)
// Non-zero on success with the checksum as 32 lower-case hex digits and the size as a decimal
// string; zero on failure with the reason in errorText. All three outputs are always BSTRs.
#include <windows.h>
#include <bcrypt.h>
#include <oleauto.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr LONG kDefaultBlockKb = 64;
// Below 1 KB the call overhead dominates; above 16 MB the buffer costs more than it saves.
constexpr LONG kMinBlockKb = 1;
constexpr LONG kMaxBlockKb = 16 * 1024;
constexpr ULONG kDigestBytes = 16;

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (valid()) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class Md5 {
 public:
  Md5() {
    status_ = BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_MD5_ALGORITHM, nullptr, 0);
    // A null object buffer lets BCrypt manage the hash object's memory itself.
    if (BCRYPT_SUCCESS(status_)) status_ = BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0);
  }
  ~Md5() {
    if (hash_ != nullptr) BCryptDestroyHash(hash_);
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  NTSTATUS status() const { return status_; }
  NTSTATUS Add(const unsigned char* data, ULONG size) {
    return BCryptHashData(hash_, const_cast<PUCHAR>(data), size, 0);
  }
  NTSTATUS Finish(unsigned char (&digest)[kDigestBytes]) { return BCryptFinishHash(hash_, digest, kDigestBytes, 0); }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  NTSTATUS status_ = 0;
};

struct Outcome {
  bool ok = false;
  std::wstring checksum;
  ULONGLONG size = 0;
  std::wstring error;
};

Outcome Failed(std::wstring error) {
  Outcome outcome;
  outcome.error = std::move(error);
  return outcome;
}

std::wstring SystemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::wstring text;
  if (length != 0 && buffer != nullptr) text.assign(buffer, length);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  return text.empty() ? L"error " + std::to_wstring(code) : text;
}

std::wstring HashError(NTSTATUS status) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%08lX", static_cast<unsigned long>(status));
  return L"MD5 not available (status 0x" + std::wstring(text) + L")";
}

// The path as a VT_BSTR, passed directly or by reference.
bool PathArgument(const VARIANT& value, std::wstring& path) {
  if (value.vt == (VT_VARIANT | VT_BYREF)) return value.pvarVal != nullptr && PathArgument(*value.pvarVal, path);
  BSTR text = nullptr;
  if (value.vt == VT_BSTR) {
    text = value.bstrVal;
  } else if (value.vt == (VT_BSTR | VT_BYREF) && value.pbstrVal != nullptr) {
    text = *value.pbstrVal;
  } else {
    return false;
  }
  path.assign(text != nullptr ? text : L"", text != nullptr ? SysStringLen(text) : 0);
  return !path.empty();
}

// Block size in KB from a number or a numeric string; absent means the default, and values
// outside the sane range are brought into it rather than refused.
bool BlockSizeArgument(const VARIANT& value, LONG& kb) {
  if (value.vt == VT_EMPTY || value.vt == VT_ERROR) {
    kb = kDefaultBlockKb;
    return true;
  }
  VARIANT plain;
  VariantInit(&plain);
  VARIANT number;
  VariantInit(&number);
  // The Windows SDK declares the source const, mingw-w64 does not; it is only read.
  HRESULT hr = VariantCopyInd(&plain, const_cast<VARIANT*>(&value));
  if (SUCCEEDED(hr)) hr = VariantChangeTypeEx(&number, &plain, LOCALE_INVARIANT, 0, VT_I4);
  VariantClear(&plain);
  if (FAILED(hr)) return false;
  kb = std::clamp<LONG>(number.lVal, kMinBlockKb, kMaxBlockKb);
  return true;
}

std::wstring LowerHex(const unsigned char* bytes, size_t count) {
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0f];
  }
  return text;
}

Outcome HashFile(const std::wstring& path, LONG blockKb) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return Failed(SystemMessage(GetLastError()));

  Md5 md5;
  if (!BCRYPT_SUCCESS(md5.status())) return Failed(HashError(md5.status()));

  const DWORD blockBytes = static_cast<DWORD>(blockKb) * 1024;
  std::vector<unsigned char> block(blockBytes);
  Outcome outcome;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), block.data(), blockBytes, &read, nullptr)) return Failed(SystemMessage(GetLastError()));
    if (read == 0) break;
    const NTSTATUS status = md5.Add(block.data(), read);
    if (!BCRYPT_SUCCESS(status)) return Failed(HashError(status));
    outcome.size += read;
  }
  unsigned char digest[kDigestBytes];
  const NTSTATUS status = md5.Finish(digest);
  if (!BCRYPT_SUCCESS(status)) return Failed(HashError(status));
  outcome.ok = true;
  outcome.checksum = LowerHex(digest, kDigestBytes);
  return outcome;
}

void StoreText(VARIANT* target, const std::wstring& text) {
  if (target == nullptr) return;
  VariantClear(target);
  target->vt = VT_BSTR;
  target->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

short Report(const Outcome& outcome, VARIANT* checksum, VARIANT* fileSize, VARIANT* errorText) {
  StoreText(checksum, outcome.ok ? outcome.checksum : std::wstring());
  StoreText(fileSize, std::to_wstring(outcome.ok ? outcome.size : 0));
  StoreText(errorText, outcome.ok ? std::wstring() : outcome.error);
  return outcome.ok ? 1 : 0;
}

short Compute(const VARIANT& path, const VARIANT* blockSizeKb, VARIANT* checksum, VARIANT* fileSize,
              VARIANT* errorText) noexcept {
  // Exceptions must not cross the export boundary: callers are not C++.
  try {
    if (checksum == nullptr || fileSize == nullptr || errorText == nullptr) {
      return Report(Failed(L"missing output argument"), checksum, fileSize, errorText);
    }
    std::wstring file;
    if (!PathArgument(path, file)) {
      return Report(Failed(L"the path must be a non-empty string"), checksum, fileSize, errorText);
    }
    LONG blockKb = kDefaultBlockKb;
    if (blockSizeKb != nullptr && !BlockSizeArgument(*blockSizeKb, blockKb)) {
      return Report(Failed(L"the block size must be a number of KB"), checksum, fileSize, errorText);
    }
    return Report(HashFile(file, blockKb), checksum, fileSize, errorText);
  } catch (...) {
    return 0;
  }
}

}  // namespace

extern "C" short WINAPI KGetMD5(VARIANT path, VARIANT* checksum, VARIANT* fileSize, VARIANT* errorText) {
  return Compute(path, nullptr, checksum, fileSize, errorText);
}

extern "C" short WINAPI KGetMD5WBlock(VARIANT path, VARIANT blockSizeKb, VARIANT* checksum, VARIANT* fileSize,
                                      VARIANT* errorText) {
  return Compute(path, &blockSizeKb, checksum, fileSize, errorText);
}
