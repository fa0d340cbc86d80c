// What the stand-ins leave behind: one line per call in a text file next to their own module,
// so that tests can see how the program under test used them.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace kagent {

// Closes a kernel handle when it goes out of scope. Both null and INVALID_HANDLE_VALUE mean
// "no handle" because CreateFile and the other creators disagree on which one they return.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void reset(HANDLE handle = nullptr) {
    if (*this) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Full path of the module (DLL or EXE) this code is linked into, and its folder (no trailing
// backslash). Resolved from a code address, so it names the DLL even when a host EXE loaded it.
std::wstring ModulePath();
std::wstring ModuleFolder();

std::string ToUtf8(std::wstring_view text);

// A field of a record line. Tabs and line breaks inside a value would split the record, so
// they are written as the two characters \t, \r and \n; nothing else is changed.
std::wstring RecordField(std::wstring_view value);

// Appends `line` and CRLF, UTF-8, to `fileName` in the module's folder. The file is opened and
// closed for each line so that several processes can record into it and a test can read or
// delete it at any time.
bool AppendRecord(std::wstring_view fileName, std::wstring_view line);

// The system's text for a Win32 error code (from `source` when given, e.g. winhttp.dll for its
// own codes), without the trailing line break; empty when the system has none.
std::wstring SystemMessage(DWORD code, HMODULE source = nullptr);

}  // namespace kagent
