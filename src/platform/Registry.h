// Registry keys. Every access names its view explicitly: the agent is a 32-bit program and
// the updater reads what a 32-bit process sees, whatever its own build.
#pragma once

#include <cstdint>
#include <string>

namespace kdht::platform {

enum class Hive { LocalMachine, CurrentUser };
enum class RegView { Wow32, Wow64 };

// Value types, as the registry reports them.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

inline constexpr long kErrorSuccess = 0;
inline constexpr long kErrorFileNotFound = 2;
inline constexpr long kErrorAccessDenied = 5;
inline constexpr long kErrorMoreData = 234;

// Owns one open key. Methods return the Win32 result code; out-values are written only on
// success.
class RegKey {
 public:
  RegKey() = default;
  ~RegKey();
  RegKey(RegKey&& other) noexcept;
  RegKey& operator=(RegKey&& other) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Opens an existing key for reading (queryOnly: KEY_QUERY_VALUE, else KEY_READ).
  long Open(Hive hive, const std::string& path, bool queryOnly, RegView view = RegView::Wow32);
  // Opens an existing subkey of an open key: the same key as the full path from the hive,
  // found without walking that path again.
  long OpenSubkey(const RegKey& parent, const std::string& name, bool queryOnly, RegView view = RegView::Wow32);
  // Opens or creates a key for writing.
  long Create(Hive hive, const std::string& path, RegView view = RegView::Wow32);
  bool valid() const { return key_ != nullptr; }
  void Close();

  // Type and byte size of a value (size probe with no buffer).
  long QueryInfo(const std::string& name, std::uint32_t* type, std::uint32_t* bytes) const;
  // String data as stored (REG_SZ/REG_EXPAND_SZ/REG_MULTI_SZ), with no conversion of NULs:
  // the text holds every character the registry returned, terminating NUL included.
  long QueryRawString(const std::string& name, std::string* out) const;
  long QueryDword(const std::string& name, std::int32_t* out) const;
  // Name of the index-th subkey.
  long EnumSubkey(std::uint32_t index, std::string* name) const;

  long SetString(const std::string& name, const std::string& value, std::uint32_t type = kRegSz);
  long SetDword(const std::string& name, std::uint32_t value);
  long DeleteValue(const std::string& name);

 private:
  void* key_ = nullptr;
};

// Removes a key with its whole tree; missing keys are fine.
long DeleteRegTree(Hive hive, const std::string& path, RegView view = RegView::Wow32);

}  // namespace kdht::platform
