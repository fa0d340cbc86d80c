#include "platform/ChecksumLibrary.h"

#include <windows.h>
#include <oleauto.h>

#include "platform/ComValue.h"
#include "platform/Failure.h"
#include "platform/Text.h"

namespace kdht::platform {
namespace {

using KGetMD5Fn = short(WINAPI*)(VARIANT, VARIANT*, VARIANT*, VARIANT*);
using KGetMD5WBlockFn = short(WINAPI*)(VARIANT, VARIANT, VARIANT*, VARIANT*, VARIANT*);

// A VARIANT owned for the length of one call.
class OwnedVariant {
 public:
  OwnedVariant() { VariantInit(&v_); }
  explicit OwnedVariant(const std::string& text) {
    VariantInit(&v_);
    ToVariant(DispatchValue(text), &v_);
  }
  ~OwnedVariant() { VariantClear(&v_); }
  OwnedVariant(const OwnedVariant&) = delete;
  OwnedVariant& operator=(const OwnedVariant&) = delete;
  VARIANT& get() { return v_; }
  // The value as the log prints it; empty for an empty variant.
  std::string Text() const { return DispatchValueText(FromVariant(v_)); }

 private:
  VARIANT v_{};
};

FARPROC ExportOf(void* module, const char* name) {
  FARPROC proc = GetProcAddress(static_cast<HMODULE>(module), name);
  if (proc == nullptr) throw Failure(453, std::string("Specified DLL function not found: ") + name);
  return proc;
}

template <class Fn>
Fn As(FARPROC proc) {
  // Through the generic function pointer type, which every function pointer converts to.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

ChecksumLibrary::ChecksumLibrary(std::string folder) : folder_(std::move(folder)) {}

ChecksumLibrary::~ChecksumLibrary() {
  if (module_ != nullptr) FreeLibrary(static_cast<HMODULE>(module_));
}

namespace {

void* LoadFrom(const std::string& folder) {
  std::string path = folder;
  if (!path.empty() && path.back() != '\\') path += '\\';
  path += ChecksumLibrary::kFileName;
  const std::wstring wide = Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw Failure(53, "File not found: KGnMD5");
  }
  // A full path with the altered search order: the library's own dependencies are looked for
  // beside it, and nothing is taken from the current folder or PATH.
  DWORD previousMode = 0;
  const BOOL modeSet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
  HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  const DWORD error = GetLastError();
  if (modeSet) SetThreadErrorMode(previousMode, nullptr);
  if (module == nullptr) {
    throw Failure(48, "Error in loading DLL: KGnMD5 (" + SystemMessage(static_cast<std::int32_t>(error)) + ")");
  }
  return module;
}

}  // namespace

ChecksumCall ChecksumLibrary::GetMD5(const std::string& path) {
  if (module_ == nullptr) module_ = LoadFrom(folder_);
  const auto fn = As<KGetMD5Fn>(ExportOf(module_, "KGetMD5"));
  OwnedVariant file(path), checksum, size, error;
  ChecksumCall call;
  call.succeeded = fn(file.get(), &checksum.get(), &size.get(), &error.get()) != 0;
  call.checksum = checksum.Text();
  call.fileSize = size.Text();
  call.errorText = error.Text();
  return call;
}

ChecksumCall ChecksumLibrary::GetMD5WBlock(const std::string& path, const std::string& blockSizeKb) {
  if (module_ == nullptr) module_ = LoadFrom(folder_);
  const auto fn = As<KGetMD5WBlockFn>(ExportOf(module_, "KGetMD5WBlock"));
  OwnedVariant file(path), block(blockSizeKb), checksum, size, error;
  ChecksumCall call;
  call.succeeded = fn(file.get(), block.get(), &checksum.get(), &size.get(), &error.get()) != 0;
  call.checksum = checksum.Text();
  call.fileSize = size.Text();
  call.errorText = error.Text();
  return call;
}

}  // namespace kdht::platform
