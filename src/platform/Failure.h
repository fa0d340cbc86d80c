// A failure inside a procedure: a number and a description, as the log prints them.
// Platform wrappers throw it from the system's error code; each procedure catches it at its
// boundary and writes its own trap line.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kdht {

class Failure : public std::exception {
 public:
  Failure(std::int32_t number, std::string description, std::string detail = {})
      : number_(number), description_(std::move(description)), detail_(std::move(detail)) {}

  std::int32_t number() const noexcept { return number_; }
  const std::string& description() const noexcept { return description_; }
  // What the system said beyond its code, when it said more: why a server's certificate was
  // refused ("certificate: untrusted root"). Empty otherwise. The standard trap lines leave it
  // out; the lines of the server channel append it.
  const std::string& detail() const noexcept { return detail_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::int32_t number_;
  std::string description_;
  std::string detail_;
};

namespace platform {

// The system's message text for a Win32 error or an HRESULT, without its final line end.
std::string SystemMessage(std::int32_t code);

// Throws Failure{code, SystemMessage(code)}.
[[noreturn]] void ThrowSystemError(std::uint32_t code);
// Throws for GetLastError().
[[noreturn]] void ThrowLastError();
// Throws Failure{hr, text} when FAILED(hr).
void ThrowIfFailed(long hr);

}  // namespace platform

// Failure numbers that the agent's tools know by number rather than by system code.
inline constexpr std::int32_t kErrFileNotFound = 53;   // "File not found"
inline constexpr std::int32_t kErrPathNotFound = 76;   // "Path not found"
inline constexpr std::int32_t kErrCannotCreateObject = 429;
inline constexpr std::int32_t kErrLibraryNotRegistered = -2147319779;  // 0x8002801D

}  // namespace kdht
