// The agent's checksum library KGnMD5.dll: two stdcall exports that take VARIANT arguments.
// The library is always loaded by its full path in a given folder, never through the DLL
// search path, so that a planted copy elsewhere cannot stand in for it.
#pragma once

#include <string>

namespace kdht::platform {

// What one export call handed back; the out-values as text ("" when the library left them empty).
struct ChecksumCall {
  bool succeeded = false;  // the export returned non-zero
  std::string checksum;
  std::string fileSize;
  std::string errorText;
};

class ChecksumLibrary {
 public:
  static constexpr const char* kFileName = "KGnMD5.dll";

  // Names the folder the library is loaded from; nothing is loaded until the first call.
  explicit ChecksumLibrary(std::string folder);
  ~ChecksumLibrary();
  ChecksumLibrary(const ChecksumLibrary&) = delete;
  ChecksumLibrary& operator=(const ChecksumLibrary&) = delete;

  // Each call loads the library when it is not loaded yet; once loaded it stays for the life
  // of the object. A library that is absent fails with 53 "File not found: KGnMD5"; one that
  // cannot be loaded with 48 "Error in loading DLL"; a missing export with 453.
  ChecksumCall GetMD5(const std::string& path);
  ChecksumCall GetMD5WBlock(const std::string& path, const std::string& blockSizeKb);

  const std::string& folder() const { return folder_; }
  bool loaded() const { return module_ != nullptr; }

 private:
  std::string folder_;
  void* module_ = nullptr;  // HMODULE
};

}  // namespace kdht::platform
